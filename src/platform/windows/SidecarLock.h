#pragma once
// The lock that guards a file which is replaced by rename: an exclusive byte-range lock on a
// file of its own beside it, "<file>.lock". Windows refuses to rename over a file that any
// handle holds open, so the data file cannot carry its own lock; the companion file is never
// replaced, so its lock excludes every cooperating writer for as long as it is held.

#include <string>

#include "Win32Error.h"

namespace vserver::platform {

// Opens path + ".lock" (created when missing) and locks it into lock. With wait false a lock
// held elsewhere gives an EWOULDBLOCK failure at once; with wait true the call waits for it.
SysResult LockSidecar(const std::string& path, bool wait, OwnedHandle& lock);

} // namespace vserver::platform
