#include "platform/RecordAppend.h"

#include <cerrno>

#include "SidecarLock.h"

namespace vserver::platform {

namespace {

// Other holders keep the lock only for one append or one queue rewrite, so waiting a little is
// enough; a holder that keeps it longer (a stuck process) must not stop the server, so the
// wait is bounded and the append then fails like an open that is refused.
SysResult LockFor(const std::string& path, OwnedHandle& lock) {
    constexpr int kAttempts = 250;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        SysResult locked = LockSidecar(path, false, lock);
        if (locked || locked.error() != EWOULDBLOCK) return locked;
        ::Sleep(1);
    }
    return SysResult::Failure("LockFileEx", EWOULDBLOCK, ERROR_LOCK_VIOLATION);
}

HANDLE OpenForAppend(const std::string& path, DWORD disposition) {
    return ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

} // namespace

SysResult AppendNulTerminated(const std::string& path, std::string_view text, AppendOpen how) {
    // A file that must exist is checked before the lock; one that a collection removed while
    // this append waited for the lock is created anew, as a first append would.
    if (how == AppendOpen::ExistingOnly && ::GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        return LastWin32Failure("CreateFileA");
    }
    OwnedHandle lock;
    if (SysResult locked = LockFor(path, lock); !locked) return locked;
    OwnedHandle file(OpenForAppend(path, OPEN_ALWAYS));
    if (!file.valid()) return LastWin32Failure("CreateFileA");
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file.get(), &size)) return LastWin32Failure("GetFileSizeEx");
    LARGE_INTEGER offset{};
    offset.QuadPart = size.QuadPart > 0 ? size.QuadPart - 1 : 0;
    if (!::SetFilePointerEx(file.get(), offset, nullptr, FILE_BEGIN)) return LastWin32Failure("SetFilePointerEx");
    // One write of the record and its NUL, so a reader never sees the text without its end.
    std::string record(text);
    record.push_back('\0');
    std::string_view left = record;
    while (!left.empty()) {
        DWORD written = 0;
        DWORD chunk = left.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(left.size());
        if (!::WriteFile(file.get(), left.data(), chunk, &written, nullptr)) return LastWin32Failure("WriteFile");
        left.remove_prefix(written);
    }
    return SysResult::Ok();
}

} // namespace vserver::platform
