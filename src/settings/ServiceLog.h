#pragma once
// The service log: ServiceLog.log in the log folder (InstallationFolders.h), one dated record per call
// ("MM/DD/YY<TAB>HH:MM:SS<TAB>text<CR><LF>"), the file always ending in one NUL byte. Callable
// from anywhere at any time; it never fails towards its caller and keeps nothing open.
//
// While an event loop is attached, the records of one turn of the loop are written together in
// one append at the end of the turn, before the replies of that turn leave, and a record is
// never waited for: when another process holds the log's lock, the records wait (in order,
// within a bounded buffer) and the loop writes them all in one append once the lock is free.
// Without a loop (start-up, registration) a record is written at once, waiting a bounded time
// for the lock.

#include <string>
#include <string_view>

#include "platform/EventLoop.h"

namespace vserver::settings {

void WriteServiceLog(std::string_view message);

// The same record written to a named file; WriteServiceLog uses it with the standard path.
void WriteServiceLogTo(const std::string& path, std::string_view message);

// Path of the service log: the log folder followed by "ServiceLog.log"; empty when there is no
// log folder.
std::string ServiceLogPath();

// Path of the lock that keeps a second server off this installation folder: the data folder
// followed by "VServerService.lock".
std::string InstanceLockPath();

// Attaches the loop that retries busy appends; Detach writes what still waits (waiting a
// bounded time for each lock) and goes back to writing at once.
void AttachServiceLogToLoop(platform::EventLoop& loop);
void DetachServiceLogFromLoop();

// How much waiting text the buffer keeps; records past it are counted, not kept, and the
// count is written after the kept ones.
inline constexpr std::size_t kMaxWaitingLogBytes = 1024 * 1024;
// How soon the loop tries a busy lock again.
inline constexpr std::chrono::milliseconds kLogRetryDelay{20};

} // namespace vserver::settings
