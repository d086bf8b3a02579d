#pragma once
// The stored spelling of entries found by name, as the path functions of the Windows backend
// share it. The system finds a name without regard to case by itself, but only a look into the
// folder tells its stored capitals, and each look is a directory search (three or more round
// trips to the Wine server under Wine). So a folder's names, once listed, are kept in one
// FolderNameCache for the process and used again while the folder's stamps, read anew for each
// lookup without opening it, show that nothing in it was added, removed or renamed since.
//
// The kept names decide capitals only, never whether an entry is a reparse point: the checks
// that guard the users' folders look at each step themselves. The cache is not guarded against
// use from two threads at once: every lookup runs on the server's one thread.

#include <optional>
#include <string>
#include <string_view>

namespace vserver::platform::files {

// The stored name of the entry of folder (a path as stored) that name finds; nothing when
// there is none. "" is the working folder, whose names are never kept.
std::optional<std::string> StoredNameIn(const std::string& folder, std::string_view name);

} // namespace vserver::platform::files
