#include "platform/RecordAppend.h"

#include <cerrno>
#include <cstdint>

#include "HeldAppend.h"
#include "SidecarLock.h"
#include "platform/common/LockRetry.h"

namespace vserver::platform {

namespace {

SysResult WriteAt(HANDLE file, std::string_view data, std::int64_t at) {
    LARGE_INTEGER offset{};
    offset.QuadPart = at;
    if (!::SetFilePointerEx(file, offset, nullptr, FILE_BEGIN)) return LastWin32Failure("SetFilePointerEx");
    while (!data.empty()) {
        DWORD written = 0;
        DWORD chunk = data.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(data.size());
        if (!::WriteFile(file, data.data(), chunk, &written, nullptr)) return LastWin32Failure("WriteFile");
        data.remove_prefix(written);
    }
    return SysResult::Ok();
}

// Writes text + NUL over the file's last byte. On failure (a full disk) the file gets its old
// length and last byte back, so no torn record stays behind.
SysResult AppendLocked(HANDLE file, std::string_view text) {
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file, &size)) return LastWin32Failure("GetFileSizeEx");
    const std::int64_t offset = size.QuadPart > 0 ? size.QuadPart - 1 : 0;
    char lastByte = '\0';
    if (size.QuadPart > 0) {
        LARGE_INTEGER at{};
        at.QuadPart = offset;
        DWORD got = 0;
        if (!::SetFilePointerEx(file, at, nullptr, FILE_BEGIN)) return LastWin32Failure("SetFilePointerEx");
        if (!::ReadFile(file, &lastByte, 1, &got, nullptr)) return LastWin32Failure("ReadFile");
        if (got != 1) return SysResult::Failure("ReadFile", EIO);
    }
    // One write of the record and its NUL, so a reader never sees the text without its end.
    std::string record(text);
    record.push_back('\0');
    SysResult result = WriteAt(file, record, offset);
    if (result) return result;
    // Cutting back frees what the failed write took, and the old last byte lies inside the old
    // length, so restoring it needs no new space.
    if (::SetFilePointerEx(file, size, nullptr, FILE_BEGIN)) (void)::SetEndOfFile(file);
    if (size.QuadPart > 0) (void)WriteAt(file, std::string_view(&lastByte, 1), offset);
    return result;
}

HANDLE OpenForAppend(const std::string& path, DWORD disposition) {
    return ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

} // namespace

SysResult AppendHoldingFile(const std::string& path, std::string_view text, AppendOpen how, LockWait wait,
                            OwnedHandle& file) {
    file.Reset();
    // A file that must exist is checked before the lock; one that a collection removed while
    // this append waited for the lock is created anew, as a first append would.
    if (how == AppendOpen::ExistingOnly && ::GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        return LastWin32Failure("CreateFileA");
    }
    // The data file is opened only once the lock is held, so it always is the file the path
    // names now, even when a collection replaced or removed it meanwhile.
    OwnedHandle lock;
    if (SysResult locked = LockWithin(wait, [&] { return LockSidecar(path, false, lock); }); !locked) return locked;
    OwnedHandle data(OpenForAppend(path, OPEN_ALWAYS));
    if (!data.valid()) return LastWin32Failure("CreateFileA");
    SysResult appended = AppendLocked(data.get(), text);
    if (appended) file.Reset(data.Release());
    return appended;
}

SysResult AppendNulTerminated(const std::string& path, std::string_view text, AppendOpen how, LockWait wait) {
    OwnedHandle file;
    return AppendHoldingFile(path, text, how, wait, file);
}

} // namespace vserver::platform
