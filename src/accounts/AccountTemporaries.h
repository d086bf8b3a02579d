#pragma once
// The hidden folders that stand in for accounts while they are made or removed, so that an
// account is only ever seen whole. A new account is built as ".<name>.new-<pid>-<n>" beside
// its home folder and renamed to its name once everything in it is on disk; an account being
// deleted is first renamed to ".<name>.deleted-<pid>-<n>" and then removed. No listing shows
// these folders, no logon finds them and no account may be named like them. A process that
// ends in between leaves one behind, which the next start removes.

#include <string>
#include <string_view>

namespace vserver::accounts {

// A fresh name for the folder a new account is built in, beside home (its home folder).
std::string CreationTemporaryFor(const std::string& home);

// A fresh name for a home folder (its path as stored) to move to before it is removed.
std::string DeletionTemporaryFor(const std::string& storedHome);

// True when name, an entry of the users folder, has the form of either temporary.
bool IsAccountTemporary(std::string_view name);

// Removes every temporary in usersFolder whose process has gone (it no longer runs, or it is
// this one), each with a service-log line naming it; one it cannot remove is named too.
void ClearAccountTemporaries(const std::string& usersFolder);

} // namespace vserver::accounts
