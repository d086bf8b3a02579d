#include "platform/common/LockRetry.h"

#include <cerrno>
#include <chrono>
#include <thread>

namespace vserver::platform {

SysResult LockWithin(LockWait wait, const std::function<SysResult()>& tryLock) {
    const int attempts = wait == LockWait::Bounded ? 250 : 1;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        SysResult locked = tryLock();
        if (locked || locked.error() != EWOULDBLOCK) return locked;
    }
    return LockBusy();
}

} // namespace vserver::platform
