#include "SidecarLock.h"

namespace vserver::platform {

SysResult LockSidecar(const std::string& path, bool wait, OwnedHandle& lock) {
    const std::string lockPath = path + ".lock";
    lock.Reset(::CreateFileA(lockPath.c_str(), GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!lock.valid()) return LastWin32Failure("CreateFileA");
    OVERLAPPED whole{};
    const DWORD flags = LOCKFILE_EXCLUSIVE_LOCK | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
    if (!::LockFileEx(lock.get(), flags, 0, MAXDWORD, MAXDWORD, &whole)) {
        SysResult failed = LastWin32Failure("LockFileEx");
        lock.Reset();
        return failed;
    }
    return SysResult::Ok();
}

} // namespace vserver::platform
