// Reading the registry file whole, and its locked read-change-replace, the same on every
// system; the lock, the reading and the replacement are the backend's.

#include <cerrno>

#include "platform/BackendCalls.h"
#include "platform/RegistryFile.h"

namespace vserver::platform {

SysResult RegistryFile::Load(const std::string& path, RegistryFile& out, std::vector<std::string>* problems,
                             Stamps* stamps) {
    // An editor that saves in place may be writing while the file is read; a few more readings
    // give it the time to finish.
    constexpr int kReadings = 3;
    out = RegistryFile();
    std::string bytes;
    Stamps before;
    Stamps after;
    for (int reading = 1;; ++reading) {
        if (SysResult read = backend::ReadRegistryFileBytes(path, bytes, before, after); !read) return read;
        // Only the data count: a rename over the file while it is read changes its change time.
        if (after.SameData(before) || reading == kReadings) break;
    }
    if (!before.exists) {
        // A missing file is a version of its own: nothing to read, until one appears.
        before.settled = true;
    } else {
        out = RegistryFile(std::move(bytes));
        out.Reparse(problems);
        if (!after.SameData(before)) {
            out.changedWhileRead_ = true;
            out.AddDoubt({}, "the file changed while it was read");
        }
    }
    if (stamps) *stamps = before;
    return SysResult::Ok();
}

SysResult RegistryFile::Update(const std::string& path, const std::function<bool(RegistryFile&)>& change) {
    return UpdateLocked(path, change, true);
}

SysResult RegistryFile::TryUpdate(const std::string& path, const std::function<bool(RegistryFile&)>& change) {
    return UpdateLocked(path, change, false);
}

SysResult RegistryFile::UpdateLocked(const std::string& path, const std::function<bool(RegistryFile&)>& change,
                                     bool waitForLock) {
    backend::HeldRegistryLock lock;
    if (SysResult locked = lock.Take(path, waitForLock); !locked) return locked;
    RegistryFile current;
    if (SysResult loaded = Load(lock.file(), current); !loaded) return loaded;
    if (SysResult writable = current.Writable(); !writable) return writable;
    if (!change(current)) return SysResult::Ok();
    return backend::ReplaceRegistryFile(lock.file(), current.bytes());
}

SysResult RegistryFile::Writable() const {
    if (unreadableLines_) return SysResult::Failure("parse", EINVAL);
    // Another program is writing it now without the lock; what it writes must not be lost.
    if (changedWhileRead_) return SysResult::Failure("read", EAGAIN);
    return SysResult::Ok();
}

} // namespace vserver::platform
