#pragma once
// The two listings of the users folder: its sub-folders (the accounts) and its toolbar set
// files ("ToolbarSet_" + set name + ".vts"), each as names joined by the list separator of the
// protocol in the order the file system returns them.

#include <string>

namespace vserver::accounts {

inline constexpr const char* kToolbarSetPrefix = "ToolbarSet_";
inline constexpr const char* kToolbarSetExtension = ".vts";

// The names of all sub-folders of usersFolder, hidden ones included, except the folders that
// stand in for accounts being made or removed. Empty, with a service-log line, when the users
// folder does not exist. The answer is allocated once.
std::string ListAccounts(const std::string& usersFolder);

// The set names of all toolbar set files except the one named CLASSIC (in any capitals).
// A missing users folder gives the empty list and no log line.
std::string ListToolbarSets(const std::string& usersFolder);

} // namespace vserver::accounts
