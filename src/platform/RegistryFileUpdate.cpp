// The locked read-change-replace of the registry file, the same on every system; the lock and
// the replacement are the backend's.

#include <cerrno>

#include "platform/BackendCalls.h"
#include "platform/RegistryFile.h"

namespace vserver::platform {

SysResult RegistryFile::Update(const std::string& path, const std::function<bool(RegistryFile&)>& change) {
    return UpdateLocked(path, change, true);
}

SysResult RegistryFile::TryUpdate(const std::string& path, const std::function<bool(RegistryFile&)>& change) {
    return UpdateLocked(path, change, false);
}

SysResult RegistryFile::UpdateLocked(const std::string& path, const std::function<bool(RegistryFile&)>& change,
                                     bool waitForLock) {
    return backend::WithRegistryFileLock(path, waitForLock, [&](const std::string& file) {
        RegistryFile current;
        std::vector<std::string> problems;
        if (SysResult loaded = Load(file, current, &problems); !loaded) return loaded;
        if (!problems.empty()) return SysResult::Failure("parse", EINVAL);
        if (!change(current)) return SysResult::Ok();
        return backend::ReplaceRegistryFile(file, current.bytes());
    });
}

} // namespace vserver::platform
