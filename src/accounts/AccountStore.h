#pragma once
// Accounts as folders: an account exists exactly when the users folder holds a folder of its
// name (in any capitals), its home folder. These operations keep no state; they take the users
// folder they work on and report failures to the service log in the administrator's words.

#include <functional>
#include <string>
#include <string_view>

#include "platform/DurableWrites.h"

namespace vserver::accounts {

inline constexpr std::size_t kMaxAccountNameLength = 25;
inline constexpr const char* kPreferenceFileSuffix = "VantorelSettings.vts";
inline constexpr const char* kMasterPreferenceFile = "VantorelSettings.vts";

// True when path names an existing folder spelled in its full form (any capitals; one
// trailing separator allowed). Relative paths, paths with "." or ".." parts, repeated
// separators or wildcards never count as existing.
bool FolderExists(const std::string& path);

// True when path names an existing entry (file or folder) in its full form, with the last
// component spelled exactly as stored.
bool FileExists(const std::string& path);

// The home folder of an account: usersFolder + separator + name, unchecked.
std::string HomeFolderPath(const std::string& usersFolder, std::string_view name);

// True when name holds a protocol separator byte, or would not name one folder directly below
// the users folder ("\", "/", ":", a control character, "." or "..").
bool HoldsInvalidAccountCharacters(std::string_view name);

// True when name holds a character the users' original platform cannot store in a file name
// ("*", "?", "<", ">", '"', "|"). Creating such an entry fails there, and must fail here the
// same way rather than leave an entry that no directory search could name.
bool HoldsUnstorableNameCharacters(std::string_view name);

// True when relative leads to a folder below the users folder without any step leaving it: a
// link on the way counts only as far as it leads to the users folder or below it.
bool IsFolderBeneath(const std::string& usersFolder, std::string_view relative);

// True when the account named (in any capitals) has a home folder: FolderExists of it, and the
// name leads to a folder below the users folder, not through a link out of it. An empty name
// names the users folder itself.
bool HomeFolderExists(const std::string& usersFolder, std::string_view name);

// Creates the account whole: the home folder with its copy of the master preference file
// (under the upper-cased name) is built under a hidden temporary name, synced, and renamed into
// place without replacing anything, and the users folder is synced. True when the home folder
// was created, even without a preference file (the master missing or not copied).
bool CreateAccount(const std::string& usersFolder, std::string_view name);

// Creates as above without holding up the loop: done runs on the loop with the result once the
// account is on disk, or as soon as it is refused. Changes of one account (in any capitals)
// take turns: each looks at the users folder only once the one before it is done.
void CreateAccount(platform::SyncWorker& syncs, const std::string& usersFolder, std::string_view name,
                   std::function<void(bool)> done);

// Removes the home folder with everything in it: it is first renamed out of sight and the
// users folder synced, so the account never comes back, then its tree is removed. True when it
// is all gone. When the rename fails the account stays as it was; when the removal stops part
// way the account is gone and its remains go at the next start.
bool DeleteAccount(const std::string& usersFolder, std::string_view name);

// Deletes as above without holding up the loop, taking turns with the other changes of the
// account like CreateAccount.
void DeleteAccount(platform::SyncWorker& syncs, const std::string& usersFolder, std::string_view name,
                   std::function<void(bool)> done);

} // namespace vserver::accounts
