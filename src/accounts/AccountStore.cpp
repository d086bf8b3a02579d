#include "accounts/AccountStore.h"

#include <algorithm>
#include <vector>

#include "accounts/FolderRemoval.h"
#include "platform/Beneath.h"
#include "platform/FileSystem.h"
#include "platform/PathText.h"
#include "platform/ProcessInfo.h"
#include "platform/TextCase.h"
#include "settings/ServiceLog.h"
#include "wire/Fields.h"

namespace vserver::accounts {

namespace {

using platform::kPathSeparator;

void Log(std::string_view message, std::string_view subject) {
    std::string line(message);
    line.append(subject);
    settings::WriteServiceLog(line);
}

// The entry a directory search for path finds first, with its full path formed from the
// searched folder's full form and the stored name.
bool FindFirst(const std::string& path, platform::DirectoryEntry& entry, std::string& fullPath) {
    std::vector<platform::DirectoryEntry> found;
    if (!platform::FindEntries(path, found) || found.empty()) return false;
    entry = std::move(found.front());
    fullPath = platform::FullPathForm(platform::FolderPartOf(path));
    if (fullPath.back() != kPathSeparator) fullPath.push_back(kPathSeparator);
    fullPath.append(entry.name);
    return true;
}

// A search pattern never names one entry: on the file systems these folders come from no name
// can hold a wildcard, so such a path never exists, even where Linux allows the name.
bool HoldsWildcard(std::string_view path) {
    std::string_view last = path.substr(path.rfind(kPathSeparator) == std::string_view::npos ? 0 : path.rfind(kPathSeparator) + 1);
    return last.find_first_of("*?") != std::string_view::npos;
}

// Copies the master preference file to target below the users folder. Neither the master
// file nor the new home folder is followed out of the users folder, even when one of them is
// swapped for a link while the account is made.
bool CopyMasterFile(const std::string& usersFolder, std::string_view target) {
    const std::string users = platform::FullPathForm(usersFolder);
    platform::PlaceBeneath master = platform::FindBeneath(users, kMasterPreferenceFile);
    std::string_view below = target.substr(std::min(target.size(), usersFolder.size() + 1));
    return platform::CopyFileNoOverwrite(master, platform::FindBeneath(users, below)).ok();
}

// FolderExists, which also tells what the search found.
bool FindFolder(const std::string& path, platform::DirectoryEntry& entry) {
    if (path.empty()) return false;
    std::string searched = path;
    if (searched.back() == kPathSeparator) searched.pop_back();
    if (searched.empty() || HoldsWildcard(searched)) return false;
    std::string fullPath;
    if (!FindFirst(searched, entry, fullPath) || !entry.isFolder) return false;
    return platform::UpperCase(fullPath) == platform::UpperCase(searched);
}

bool StartsAccountOperation(const std::string& usersFolder) {
    if (FolderExists(usersFolder)) return true;
    Log("Can't find top-level user directory: ", usersFolder);
    return false;
}

} // namespace

bool FolderExists(const std::string& path) {
    platform::DirectoryEntry entry;
    return FindFolder(path, entry);
}

bool FileExists(const std::string& path) {
    if (path.empty() || HoldsWildcard(path)) return false;
    platform::DirectoryEntry entry;
    std::string fullPath;
    return FindFirst(path, entry, fullPath) && fullPath == path;
}

bool IsFolderBeneath(const std::string& usersFolder, std::string_view relative) {
    platform::PlaceBeneath place = platform::FindBeneath(platform::FullPathForm(usersFolder), relative);
    return place.found() && place.isFolder;
}

bool HomeFolderExists(const std::string& usersFolder, std::string_view name) {
    platform::DirectoryEntry entry;
    if (!FindFolder(HomeFolderPath(usersFolder, name), entry)) return false;
    // The search looked at the entry itself: a plain folder directly below the users folder
    // needs no more. An empty name names the users folder itself, which may lie anywhere.
    const bool direct = platform::FolderPartOf(name).empty() && !entry.isLink;
    return direct || name.empty() || IsFolderBeneath(usersFolder, name);
}

std::string HomeFolderPath(const std::string& usersFolder, std::string_view name) {
    std::string home = usersFolder;
    home.push_back(kPathSeparator);
    home.append(name);
    return home;
}

bool HoldsUnstorableNameCharacters(std::string_view name) {
    return name.find_first_of("*?<>\"|") != std::string_view::npos;
}

bool HoldsInvalidAccountCharacters(std::string_view name) {
    if (name == "." || name == "..") return true;
    for (char c : name) {
        auto byte = static_cast<unsigned char>(c);
        if (c == wire::kSectionSeparator || c == wire::kFieldSeparator || c == wire::kItemSeparator ||
            c == '\\' || c == '/' || c == ':' || byte < 0x20 || byte == 0x7F) {
            return true;
        }
    }
    return false;
}

bool CreateAccount(const std::string& usersFolder, std::string_view name) {
    if (!StartsAccountOperation(usersFolder)) return false;
    if (HoldsInvalidAccountCharacters(name)) {
        Log("Attempt to create account with invalid characters: ", name);
        return false;
    }
    if (name.size() > kMaxAccountNameLength) {
        Log("Attempt to create account with too many characters: ", name);
        return false;
    }
    std::string home = HomeFolderPath(usersFolder, name);
    if (FolderExists(home)) {
        Log("Attempt to create duplicate account: ", name);
        return false;
    }
    if (HoldsUnstorableNameCharacters(name) || !platform::CreateFolder(home) || !FolderExists(home)) {
        Log("Failed to create new user home path: ", home);
        return false;
    }
    std::string master = usersFolder + kPathSeparator + kMasterPreferenceFile;
    if (!FileExists(master)) {
        Log("Can't find master preference file: ", master);
        return true;
    }
    std::string target = home + kPathSeparator + platform::UpperCase(name) + kPreferenceFileSuffix;
    if (!CopyMasterFile(usersFolder, target)) {
        Log("Can't copy master preference file to user's home path: ", target);
    }
    return true;
}

bool DeleteAccount(const std::string& usersFolder, std::string_view name) {
    if (!StartsAccountOperation(usersFolder)) return false;
    // An empty name would make the users folder itself the home folder.
    if (name.empty() || HoldsInvalidAccountCharacters(name)) {
        Log("Attempt to delete account with invalid characters: ", name);
        return false;
    }
    if (name.size() > kMaxAccountNameLength) {
        Log("Attempt to delete account with too many characters: ", name);
        return false;
    }
    std::string home = HomeFolderPath(usersFolder, name);
    if (!FolderExists(home)) {
        Log("Attempt to delete non-existant account: ", name);
        return false;
    }
    if (!RemoveFolderTree(home)) {
        Log("Unable to delete user's home path: ", home);
        return false;
    }
    return true;
}

} // namespace vserver::accounts
