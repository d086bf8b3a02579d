#pragma once
// The bounded wait for a record file's lock, the same on every system. Used inside platform/
// only.

#include <functional>

#include "platform/RecordAppend.h"
#include "platform/SysResult.h"

namespace vserver::platform {

// Calls tryLock, which takes the lock without waiting and fails with EWOULDBLOCK while another
// holder has it. Other holders keep the lock only for one append or one queue rewrite, so
// waiting a little is enough; a holder that keeps it longer (a stuck process) must not stop the
// caller, so with LockWait::Bounded the wait ends after about a quarter of a second and the
// result is LockBusy(), like an open that is refused. The event loop never waits at all: it asks
// with LockWait::None and tries again later. Any other failure is returned at once.
SysResult LockWithin(LockWait wait, const std::function<SysResult()>& tryLock);

} // namespace vserver::platform
