// The record file's lock lives in its sidecar file, so the locked file itself is only opened
// for the length of each read: a replacement or removal by name then never meets an open
// handle, and an appender that waits for the sidecar lock always finds the file in place.

#include "platform/LockedFile.h"

#include <cerrno>

#include "BackendTraits.h"
#include "SidecarLock.h"
#include "WindowsFiles.h"
#include "platform/FileSystem.h"

namespace vserver::platform {

namespace {

HANDLE AsHandle(std::intptr_t value) { return reinterpret_cast<HANDLE>(value); }

HANDLE OpenData(const std::string& path, DWORD disposition) {
    return ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

} // namespace

LockedFile::Outcome LockedFile::TryOpen(std::string_view path) {
    Close();
    auto target = StoredTarget(path);
    if (!target) {
        failure_ = SysResult::Failure("CreateFileA", ENOENT, ERROR_PATH_NOT_FOUND);
        return Outcome::Failed;
    }
    OwnedHandle lock;
    if (SysResult locked = LockSidecar(*target, false, lock); !locked) {
        if (locked.error() == EWOULDBLOCK) return Outcome::Busy;
        failure_ = locked;
        return Outcome::Failed;
    }
    OwnedHandle data(OpenData(*target, OPEN_ALWAYS));
    if (!data.valid()) {
        failure_ = LastWin32Failure("CreateFileA");
        return Outcome::Failed;
    }
    fd_ = reinterpret_cast<std::intptr_t>(lock.Release());
    path_ = *target;
    failure_ = SysResult::Ok();
    return Outcome::Locked;
}

SysResult LockedFile::ReadAll(std::string& out) const {
    out.clear();
    if (fd_ == -1) return SysResult::Failure("ReadFile", EBADF, ERROR_INVALID_HANDLE);
    // The path is the stored one TryOpen found, so it is not looked up again.
    return files::ReadStoredFile(path_, out);
}

SysResult LockedFile::Replace(std::string_view content) {
    if (fd_ == -1) return SysResult::Failure("MoveFileExA", EBADF, ERROR_INVALID_HANDLE);
    return ReplaceFileContent(path_, content);
}

SysResult LockedFile::Remove() {
    if (fd_ == -1) return SysResult::Failure("DeleteFileA", EBADF, ERROR_INVALID_HANDLE);
    if (!::DeleteFileA(path_.c_str())) return LastWin32Failure("DeleteFileA");
    return SysResult::Ok();
}

void LockedFile::Close() {
    if (fd_ != -1) {
        ::CloseHandle(AsHandle(fd_));  // closing the handle releases the lock
        fd_ = -1;
    }
}

LockedFile::Identity LockedFile::identity() const {
    BY_HANDLE_FILE_INFORMATION info{};
    if (fd_ == -1 || !::GetFileInformationByHandle(AsHandle(fd_), &info)) return {};
    return {info.dwVolumeSerialNumber, (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

} // namespace vserver::platform
