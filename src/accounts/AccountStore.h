#pragma once
// Accounts as folders: an account exists exactly when the users folder holds a folder of its
// name (in any capitals), its home folder. These operations keep no state; they take the users
// folder they work on and report failures to the service log in the administrator's words.

#include <string>
#include <string_view>

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

// Creates the home folder and copies the master preference file into it under the upper-cased
// name. True when the home folder was created, even when the copy failed.
bool CreateAccount(const std::string& usersFolder, std::string_view name);

// Removes the home folder with everything in it. True when it is gone.
bool DeleteAccount(const std::string& usersFolder, std::string_view name);

} // namespace vserver::accounts
