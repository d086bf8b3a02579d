#pragma once
// The two listings of the users folder: its sub-folders (the accounts) and its toolbar set
// files ("ToolbarSet_" + set name + ".vts"), each as names joined by the list separator of the
// protocol in the order the file system returns them.

#include <string>
#include <string_view>

namespace vserver::accounts {

inline constexpr const char* kToolbarSetPrefix = "ToolbarSet_";
inline constexpr const char* kToolbarSetExtension = ".vts";

// The listings name only what leads below the users folder: a symbolic link in it counts only
// when it leads to the users folder or below it.

// The names of all sub-folders of usersFolder, hidden ones included, except the folders that
// stand in for accounts being made or removed. Empty, with a service-log line, when the users
// folder does not exist. The answer is allocated once.
std::string ListAccounts(const std::string& usersFolder);

// The set names of all toolbar set files except the one named CLASSIC (in any capitals).
// A missing users folder gives the empty list and no log line.
std::string ListToolbarSets(const std::string& usersFolder);

// True when the users folder holds ToolbarSet_<setName>.vts (a directory search: the name may
// hold wildcards, and any entry counts). A name that leads out of the users folder never does.
bool ToolbarSetExists(const std::string& usersFolder, std::string_view setName);

} // namespace vserver::accounts
