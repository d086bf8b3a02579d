#include "settings/StartUpChecks.h"

#include "platform/FileSystem.h"
#include "platform/FolderCheck.h"
#include "platform/SystemTraits.h"

namespace vserver::settings {

namespace {

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

// Why a folder cannot be used, or nothing when it can.
std::optional<std::string> FolderFault(const std::string& path) {
    // Found without regard to case, as the account store finds it.
    const platform::FolderCheck check = platform::CheckFolder(platform::ResolveExisting(path).value_or(path));
    switch (check.verdict) {
    case platform::FolderCheck::Verdict::Usable: return std::nullopt;
    case platform::FolderCheck::Verdict::Missing: return "does not exist (" + check.failure.Describe() + ")";
    case platform::FolderCheck::Verdict::NotAFolder: return "is not a folder";
    case platform::FolderCheck::Verdict::Unreadable:
        return "cannot be read by the server (" + check.failure.Describe() + ")";
    case platform::FolderCheck::Verdict::Unwritable:
        return "is not writable by the server (" + check.failure.Describe() + ")";
    case platform::FolderCheck::Verdict::Unknown: return "cannot be checked (" + check.failure.Describe() + ")";
    }
    return std::nullopt;
}

} // namespace

std::optional<std::string> DescribePortProblem(const PortSetting& setting, int listeningPort,
                                               const std::string& registryName) {
    if (setting.plain) return std::nullopt;
    return "PortNumber " + Quoted(setting.text) + " in " + registryName +
           " is not a whole number from 1 to 65535; the server listens on port " + std::to_string(listeningPort);
}

std::optional<std::string> DescribeFolderProblem(const std::string& masterPathText, const std::string& usersFolder,
                                                 const std::string& registryName) {
    const std::string where = " in " + registryName;
    if (masterPathText.empty()) {
        return "MasterPath is not set" + where + "; accounts are looked for in " + usersFolder +
               " until it names the master folder";
    }
    if (platform::PathRootLength(masterPathText) == 0) {
        return "MasterPath " + Quoted(masterPathText) + where +
               " is not an absolute path; it is taken from the server's working folder, so the users folder is " +
               platform::FullPathForm(usersFolder);
    }
    if (std::optional<std::string> fault = FolderFault(masterPathText)) {
        return "MasterPath " + Quoted(masterPathText) + where + " " + *fault;
    }
    if (std::optional<std::string> fault = FolderFault(usersFolder)) {
        return "Users folder " + usersFolder + " " + *fault + "; accounts cannot be listed or created";
    }
    return std::nullopt;
}

} // namespace vserver::settings
