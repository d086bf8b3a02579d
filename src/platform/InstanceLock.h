#pragma once
// The lock that keeps a second server from running on one installation folder: a small file
// beside the executable, locked for the whole life of the server process and holding its
// process id. The system drops the lock when the process ends, however it ends, so a file left
// behind by a crashed server never blocks the next start.

#include <ctime>
#include <string>

#include "platform/SysResult.h"

namespace vserver::platform {

struct InstanceLockResult {
    enum class Outcome {
        Held,     // this process holds the lock until it ends
        Busy,     // another process holds it; holderPid names it when the system can tell
        Failed,   // the lock file cannot be opened or locked (see failure)
    };
    Outcome outcome = Outcome::Failed;
    long holderPid = 0;
    SysResult failure = SysResult::Ok();
};

// Takes the lock on path without waiting and writes this process's id into the file. The lock
// is never released by this process; it ends with it.
InstanceLockResult AcquireInstanceLock(const std::string& path);

// What the lock file says without taking the lock, so asking never gets in a starting server's
// way.
struct InstanceLockState {
    bool held = false;        // a live process holds the lock
    long holderPid = 0;       // its process id (0 when unknown)
    std::time_t since = 0;    // when the holder took the lock (the file's modification time)
};
InstanceLockState QueryInstanceLock(const std::string& path);

// The id of this process.
long CurrentProcessId();

} // namespace vserver::platform
