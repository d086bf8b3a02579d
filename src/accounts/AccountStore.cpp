#include "accounts/AccountStore.h"

#include <cerrno>
#include <memory>
#include <vector>

#include "accounts/AccountTemporaries.h"
#include "accounts/FolderRemoval.h"
#include "formats/TextCase.h"
#include "platform/Beneath.h"
#include "platform/FileSystem.h"
#include "platform/StagedFolders.h"
#include "platform/SystemTraits.h"
#include "platform/TemporaryFile.h"
#include "platform/common/PathText.h"
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

namespace {

// Names no account may have: those HoldsInvalidAccountCharacters refuses, and the form of the
// hidden folders that stand in for accounts being made or removed.
bool IsRefusedName(std::string_view name) { return HoldsInvalidAccountCharacters(name) || IsAccountTemporary(name); }

// Changes of one account, in any capitals, take turns under this key.
std::string ChangeKey(const std::string& usersFolder, std::string_view name) {
    return platform::UpperCase(HomeFolderPath(usersFolder, name));
}

// A new account while it is built aside.
struct NewAccount {
    std::string name;
    std::string home;  // as the administrator named it, for the log
};

// Copies the master preference file into the folder being built. An account without it is
// still made: the preference requests then answer with their defaults.
void CopyMasterInto(const std::string& usersFolder, const NewAccount& account, const std::string& folder,
                    platform::UnsyncedWrite& write) {
    const std::string master = usersFolder + kPathSeparator + kMasterPreferenceFile;
    if (!FileExists(master)) {
        Log("Can't find master preference file: ", master);
        return;
    }
    // Read through the users folder, so that a master file swapped for a link out of it is
    // never copied into an account.
    const platform::PlaceBeneath source = platform::FindBeneath(platform::FullPathForm(usersFolder), kMasterPreferenceFile);
    const std::string fileName = platform::UpperCase(account.name) + kPreferenceFileSuffix;
    if (!platform::CopyIntoStagedFolder(source, folder + kPathSeparator + fileName, write)) {
        Log("Can't copy master preference file to user's home path: ", account.home + kPathSeparator + fileName);
    }
}

// The steps of a creation up to the new home folder built under a temporary name, with write
// set to sync it and move it into place. False, logged, when no account is to be made.
bool BuildAccountAside(const std::string& usersFolder, std::string_view name, NewAccount& account,
                       platform::UnsyncedWrite& write) {
    if (!StartsAccountOperation(usersFolder)) return false;
    if (IsRefusedName(name)) {
        Log("Attempt to create account with invalid characters: ", name);
        return false;
    }
    if (name.size() > kMaxAccountNameLength) {
        Log("Attempt to create account with too many characters: ", name);
        return false;
    }
    account.name = name;
    account.home = HomeFolderPath(usersFolder, name);
    if (FolderExists(account.home)) {
        Log("Attempt to create duplicate account: ", name);
        return false;
    }
    // The sync thread renames by the stored spelling; the users folder's may differ in capitals.
    const auto storedUsers = platform::ResolveExisting(usersFolder);
    const std::string target = storedUsers ? HomeFolderPath(*storedUsers, name) : account.home;
    const std::string folder = CreationTemporaryFor(target);
    if (HoldsUnstorableNameCharacters(name) || !platform::CreateFolder(folder)) {
        Log("Failed to create new user home path: ", account.home);
        return false;
    }
    CopyMasterInto(usersFolder, account, folder, write);
    write.temporary = folder;
    write.target = target;
    write.wholeFolder = true;
    write.syncFolder = true;
    return true;
}

// The result of a creation once its folder was moved into place, or failed to be.
bool FinishCreation(const NewAccount& account, const platform::SysResult& moved) {
    // Another process made the folder meanwhile.
    if (moved.error() == EEXIST || moved.error() == ENOTEMPTY) {
        Log("Attempt to create duplicate account: ", account.name);
        return false;
    }
    if (!moved || !FolderExists(account.home)) {
        Log("Failed to create new user home path: ", account.home);
        return false;
    }
    return true;
}

// An account while it is removed.
struct OldAccount {
    std::string home;   // as the administrator named it, for the log
    std::string aside;  // where the home folder went, out of sight
};

// The steps of a deletion up to the home folder moved out of sight. False, logged, when
// nothing was moved; the account then stays as it was.
bool MoveAccountAside(const std::string& usersFolder, std::string_view name, OldAccount& account) {
    if (!StartsAccountOperation(usersFolder)) return false;
    // An empty name would make the users folder itself the home folder.
    if (name.empty() || IsRefusedName(name)) {
        Log("Attempt to delete account with invalid characters: ", name);
        return false;
    }
    if (name.size() > kMaxAccountNameLength) {
        Log("Attempt to delete account with too many characters: ", name);
        return false;
    }
    account.home = HomeFolderPath(usersFolder, name);
    const auto stored = FolderExists(account.home) ? platform::ResolveExisting(account.home) : std::nullopt;
    if (!stored) {
        Log("Attempt to delete non-existant account: ", name);
        return false;
    }
    account.aside = DeletionTemporaryFor(*stored);
    if (!platform::MoveNoReplace(*stored, account.aside)) {
        Log("Unable to delete user's home path: ", account.home);
        return false;
    }
    return true;
}

// The result of a deletion once its move out of sight is on disk, or failed to get there.
// The account is gone either way; what is left of its folder stays out of sight and goes at
// the next start.
bool FinishDeletion(const OldAccount& account, const platform::SysResult& synced) {
    if (!synced) {
        // Removing files before the move is on disk could bring back a half account after a
        // power loss.
        Log("Unable to delete user's home path: ", account.home);
        Log("Moved out of sight but not synced (" + synced.Describe() + "), removed at the next start: ",
            account.aside);
        return false;
    }
    if (!RemoveFolderTree(account.aside)) {
        Log("Unable to delete user's home path: ", account.home);
        Log("Moved out of sight, what remains is removed at the next start: ", account.aside);
        return false;
    }
    return true;
}

} // namespace

bool CreateAccount(const std::string& usersFolder, std::string_view name) {
    NewAccount account;
    platform::UnsyncedWrite write;
    if (!BuildAccountAside(usersFolder, name, account, write)) return false;
    return FinishCreation(account, platform::CompleteWrite(write));
}

void CreateAccount(platform::SyncWorker& syncs, const std::string& usersFolder, std::string_view name,
                   std::function<void(bool)> done) {
    std::string key = ChangeKey(usersFolder, name);
    syncs.AfterWritesTo(key, [&syncs, usersFolder, name = std::string(name), key, done = std::move(done)] {
        auto account = std::make_shared<NewAccount>();
        platform::UnsyncedWrite write;
        if (!BuildAccountAside(usersFolder, name, *account, write)) return done(false);
        syncs.Submit(
            std::move(write), [account, done](platform::SysResult moved) { done(FinishCreation(*account, moved)); },
            key);
    });
}

bool DeleteAccount(const std::string& usersFolder, std::string_view name) {
    OldAccount account;
    if (!MoveAccountAside(usersFolder, name, account)) return false;
    return FinishDeletion(account, platform::SyncFolderOf(account.aside));
}

void DeleteAccount(platform::SyncWorker& syncs, const std::string& usersFolder, std::string_view name,
                   std::function<void(bool)> done) {
    std::string key = ChangeKey(usersFolder, name);
    syncs.AfterWritesTo(key, [&syncs, usersFolder, name = std::string(name), key, done = std::move(done)] {
        auto account = std::make_shared<OldAccount>();
        if (!MoveAccountAside(usersFolder, name, *account)) return done(false);
        // The move is a change of the users folder, which is synced before anything is removed.
        platform::UnsyncedWrite move;
        move.target = account->aside;
        move.syncFolder = true;
        syncs.Submit(
            std::move(move), [account, done](platform::SysResult synced) { done(FinishDeletion(*account, synced)); },
            key);
    });
}

} // namespace vserver::accounts
