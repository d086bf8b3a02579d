#include "settings/ConfigStore.h"

#include <optional>
#include <utility>
#include <vector>

#include "platform/ProcessInfo.h"
#include "platform/RegistryFile.h"
#include "settings/ServiceLog.h"
#include "wire/Fields.h"

namespace vserver::settings {
namespace {

using platform::RegistryFile;
using platform::SysResult;

constexpr const char* kDefaultPort = "1006";
constexpr int kDefaultLivenessTimeoutSeconds = 10;

// Every operation reads the file again, so the same unreadable file would otherwise fill the
// service log with one line per request. A complaint is written once until it changes.
void ReportOnce(const std::string& complaint) {
    static std::string lastComplaint;
    if (complaint == lastComplaint) return;
    lastComplaint = complaint;
    WriteServiceLog(complaint);
}

std::string DescribeProblems(const std::string& path, const std::vector<std::string>& problems) {
    constexpr std::size_t kShownProblems = 3;
    std::string text = "Registry file " + path + " has lines that cannot be read; they are ignored: ";
    for (std::size_t i = 0; i < problems.size() && i < kShownProblems; ++i) {
        if (i > 0) text += "; ";
        text += problems[i];
    }
    if (problems.size() > kShownProblems) {
        text += "; and " + std::to_string(problems.size() - kShownProblems) + " more";
    }
    return text;
}

// The registry as far as it can be read: a file that cannot be opened gives the defaults, a
// file with unreadable lines gives its readable keys. Either is reported once.
RegistryFile LoadRegistry(const std::string& path) {
    RegistryFile registry;
    std::vector<std::string> problems;
    const SysResult loaded = RegistryFile::Load(path, registry, &problems);
    if (!loaded) {
        ReportOnce("Unable to read registry file " + path + ": " + loaded.Describe());
    } else if (!problems.empty()) {
        ReportOnce(DescribeProblems(path, problems));
    }
    return registry;
}

std::string ReadText(const RegistryFile& registry, const char* key, const std::string& name) {
    return registry.ReadString(key, name).value_or(std::string());
}

std::string LowerAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

// True exactly when the stored word, or the default when nothing usable is stored, is "true"
// in any capitals; " true", "yes" and "1" are all false.
bool ReadBooleanOption(const RegistryFile& registry, const char* name, const char* defaultText) {
    std::string text = ReadText(registry, kOptionsKey, name);
    if (text.empty()) text = defaultText;
    return LowerAscii(std::move(text)) == "true";
}

// Stores the default port under the lock, unless another process stored a usable value since
// it was read; that newer value is then the one to use.
std::string StoreDefaultPort(const std::string& path) {
    std::string port = kDefaultPort;
    const SysResult stored = RegistryFile::Update(path, [&](RegistryFile& registry) {
        // A Connection key that has gone meanwhile is not created again.
        if (!registry.HasKey(kConnectionKey)) return false;
        std::string newest = ReadText(registry, kConnectionKey, "PortNumber");
        if (!newest.empty()) {
            port = std::move(newest);
            return false;
        }
        registry.WriteString(kConnectionKey, "PortNumber", kDefaultPort);
        return true;
    });
    if (!stored) {
        WriteServiceLog("Unable to store the default PortNumber in registry file " + path + ": " +
                        stored.Describe());
    }
    return port;
}

} // namespace

ConfigStore::ConfigStore(std::string registryPath) : registryPath_(std::move(registryPath)) {}

FolderLayout ConfigStore::DerivePaths() const {
    FolderLayout layout;
    const std::string master = ReadMasterPath();
    layout.executableFolder = platform::ExecutableFolder();
    if (layout.executableFolder.empty()) {
        WriteServiceLog("Unable to initialize server, can't find path to executable");
    }
    layout.usersFolder = master + "Users";
    layout.eventLogPath = layout.usersFolder + platform::kPathSeparator + "EventLog.log";
    layout.userMessagesPath = layout.executableFolder + "UserMessages.log";
    layout.forcedToolbarSetsPath = layout.executableFolder + "ForcedToolbarSets.log";
    return layout;
}

OptionFlags ConfigStore::LoadOptionFlags() const {
    const RegistryFile registry = LoadRegistry(registryPath_);
    OptionFlags flags;
    flags.allowAccountCreation = ReadBooleanOption(registry, "AllowAccountCreation", "True");
    flags.logUserStatistics = ReadBooleanOption(registry, "LogUserStatistics", "False");
    return flags;
}

int ConfigStore::ReadPortNumber() const {
    const RegistryFile registry = LoadRegistry(registryPath_);
    std::string text = kDefaultPort;
    if (registry.HasKey(kConnectionKey)) {
        text = ReadText(registry, kConnectionKey, "PortNumber");
        if (text.empty()) text = StoreDefaultPort(registryPath_);
    }
    return wire::ReadNumber(text);
}

std::string ConfigStore::ReadOption(const std::string& name, const std::string& defaultText) const {
    const std::string text = ReadText(LoadRegistry(registryPath_), kOptionsKey, name);
    return text.empty() ? defaultText : text;
}

bool ConfigStore::WriteOption(const std::string& name, const std::string& text) const {
    if (name.find_first_of("\r\n") != std::string::npos) {
        WriteServiceLog("Unable to write option with a line break in its name to registry file " + registryPath_);
        return false;
    }
    const SysResult written = RegistryFile::Update(registryPath_, [&](RegistryFile& registry) {
        registry.WriteString(kOptionsKey, name, text);
        return true;
    });
    if (!written) {
        WriteServiceLog("Unable to write option " + name + " to registry file " + registryPath_ + ": " +
                        written.Describe());
    }
    return written.ok();
}

std::string ConfigStore::ReadMasterPath() const {
    std::string master = ReadText(LoadRegistry(registryPath_), kServerKey, "MasterPath");
    if (master.empty() || master.back() != platform::kPathSeparator) master += platform::kPathSeparator;
    return master;
}

int ConfigStore::ReadLivenessTimeoutSeconds() const {
    const int seconds = wire::ReadNumber(ReadText(LoadRegistry(registryPath_), kOptionsKey, "LivenessTimeoutSeconds"));
    return seconds > 0 ? seconds : kDefaultLivenessTimeoutSeconds;
}

bool ConfigStore::ReadAllowConsoleRequestsFromAnyConnection() const {
    return ReadBooleanOption(LoadRegistry(registryPath_), "AllowConsoleRequestsFromAnyConnection", "False");
}

std::string ConfigStore::ReadBindAddress() const {
    return ReadText(LoadRegistry(registryPath_), kConnectionKey, "BindAddress");
}

} // namespace vserver::settings
