#pragma once
// The temporary files that stand in for a file while it is replaced or first written:
// ".<name>.tmp-<pid>-<n>" in the file's own folder (so the final rename stays on one file
// system), named after the process that writes it. A kill in mid-write leaves one behind; the
// next writer of the same file removes it, unless the process it names still runs.

#include <string>

#include "platform/SysResult.h"

namespace vserver::platform {

// A fresh temporary name for target (the path of the file as stored).
std::string TemporaryNameFor(const std::string& target);

// Removes the temporaries of target whose writer has gone: the process named in the
// temporary's name no longer runs, or is this process, which holds none between its writes.
// One that a running process may still be writing is never touched.
void RemoveStaleTemporaries(const std::string& target);

// Syncs the folder that holds path, so a new or renamed entry in it survives a power loss.
SysResult SyncFolderOf(const std::string& path);

} // namespace vserver::platform
