#pragma once
// The temporary files that stand in for a file while it is replaced or first written:
// ".<name>.tmp-<pid>-<n>" in the file's own folder (so the final rename stays on one file
// system), named after the process that writes it. A kill in mid-write leaves one behind; the
// next writer of the same file removes it, unless the process it names still runs.

#include <string>
#include <string_view>

#include "platform/SysResult.h"

namespace vserver::platform {

// A fresh temporary name for target (the path of the file as stored).
std::string TemporaryNameFor(const std::string& target);
// A fresh name beside target for a stand-in of another kind than a file's replacement:
// ".<name>.<kind>-<pid>-<n>", named after this process like every temporary.
std::string TemporaryNameFor(const std::string& target, std::string_view kind);

// True when the writer that a temporary's name names has gone, judged as
// RemoveStaleTemporaries judges it; rest is what follows the name's prefix ("<pid>-<n>").
// False for a name the server did not make.
bool TemporaryWriterGone(std::string_view rest);

// Removes the temporaries of target whose writer has gone: the process named in the
// temporary's name no longer runs, or is this process, which holds none between its writes.
// One that a running process may still be writing is never touched.
void RemoveStaleTemporaries(const std::string& target);

// Syncs the folder that holds path, so a new or renamed entry in it survives a power loss.
SysResult SyncFolderOf(const std::string& path);
// Syncs the entries of folder itself.
SysResult SyncFolder(const std::string& folder);

} // namespace vserver::platform
