// Reading the registry file whole, and its locked read-change-replace, the same on every
// system; the lock, the reading and the replacement are the backend's.

#include <cerrno>

#include "platform/BackendCalls.h"
#include "platform/RegistryFileIo.h"

namespace vserver::platform {

namespace {

SysResult UpdateLocked(const std::string& path, const std::function<bool(RegistryFile&)>& change, bool waitForLock) {
    backend::HeldRegistryLock lock;
    if (SysResult locked = lock.Take(path, waitForLock); !locked) return locked;
    RegistryFile current;
    if (SysResult loaded = LoadRegistryFile(lock.file(), current); !loaded) return loaded;
    if (SysResult writable = RegistryFileWritable(current); !writable) return writable;
    if (!change(current)) return SysResult::Ok();
    return backend::ReplaceRegistryFile(lock.file(), current.bytes());
}

} // namespace

bool RegistryFileStamps::SameVersion(const RegistryFileStamps& other) const {
    return SameData(other) && changed == other.changed;
}

bool RegistryFileStamps::SameData(const RegistryFileStamps& other) const {
    return exists == other.exists && device == other.device && inode == other.inode && size == other.size &&
           modified == other.modified;
}

SysResult LoadRegistryFile(const std::string& path, RegistryFile& out, std::vector<std::string>* problems,
                           RegistryFileStamps* stamps) {
    // An editor that saves in place may be writing while the file is read; a few more readings
    // give it the time to finish.
    constexpr int kReadings = 3;
    out = RegistryFile();
    std::string bytes;
    RegistryFileStamps before;
    RegistryFileStamps after;
    for (int reading = 1;; ++reading) {
        if (SysResult read = backend::ReadRegistryFileBytes(path, bytes, before, after); !read) return read;
        // Only the data count: a rename over the file while it is read changes its change time.
        if (after.SameData(before) || reading == kReadings) break;
    }
    if (!before.exists) {
        // A missing file is a version of its own: nothing to read, until one appears.
        before.settled = true;
    } else {
        out = RegistryFile::ParseBytes(std::move(bytes), problems);
        if (!after.SameData(before)) out.MarkChangedWhileRead();
    }
    if (stamps) *stamps = before;
    return SysResult::Ok();
}

SysResult RegistryFileWritable(const RegistryFile& file) {
    if (file.hasUnreadableLines()) return SysResult::Failure("parse", EINVAL);
    // Another program is writing it now without the lock; what it writes must not be lost.
    if (file.changedWhileRead()) return SysResult::Failure("read", EAGAIN);
    return SysResult::Ok();
}

SysResult UpdateRegistryFile(const std::string& path, const std::function<bool(RegistryFile&)>& change) {
    return UpdateLocked(path, change, true);
}

SysResult TryUpdateRegistryFile(const std::string& path, const std::function<bool(RegistryFile&)>& change) {
    return UpdateLocked(path, change, false);
}

} // namespace vserver::platform
