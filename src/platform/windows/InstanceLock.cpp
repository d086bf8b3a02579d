#include "platform/InstanceLock.h"

#include <windows.h>

#include <cstdlib>
#include <string>

#include "Win32Error.h"

namespace vserver::platform {

namespace {

// The lock covers one byte far past the end of the file, not the file's content: a byte-range
// lock on Windows also bars others from reading the range, and a second server must still be
// able to read the holder's process id.
constexpr DWORD kLockOffsetHigh = 0x7fffffff;

bool LockByte(HANDLE file, DWORD flags) {
    OVERLAPPED at{};
    at.OffsetHigh = kLockOffsetHigh;
    return ::LockFileEx(file, flags | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) != 0;
}

void UnlockByte(HANDLE file) {
    OVERLAPPED at{};
    at.OffsetHigh = kLockOffsetHigh;
    ::UnlockFileEx(file, 0, 1, 0, &at);
}

HANDLE OpenLockFile(const std::string& path, DWORD access, DWORD disposition) {
    return ::CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

long HolderOf(HANDLE file) {
    char text[32] = {};
    OVERLAPPED start{};
    DWORD got = 0;
    if (!::ReadFile(file, text, sizeof text - 1, &got, &start) || got == 0) return 0;
    return std::strtol(text, nullptr, 10);
}

bool IsLockConflict(DWORD code) { return code == ERROR_LOCK_VIOLATION || code == ERROR_IO_PENDING; }

// Seconds since 1601 in 100-nanosecond ticks to seconds since 1970.
std::time_t UnixTime(const FILETIME& time) {
    ULARGE_INTEGER ticks{};
    ticks.LowPart = time.dwLowDateTime;
    ticks.HighPart = time.dwHighDateTime;
    constexpr unsigned long long kTicksPerSecond = 10'000'000ULL;
    constexpr unsigned long long kEpochDifference = 11'644'473'600ULL;
    return static_cast<std::time_t>(ticks.QuadPart / kTicksPerSecond - kEpochDifference);
}

} // namespace

long CurrentProcessId() { return static_cast<long>(::GetCurrentProcessId()); }

InstanceLockResult AcquireInstanceLock(const std::string& path) {
    InstanceLockResult result;
    OwnedHandle file(OpenLockFile(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS));
    if (!file.valid()) {
        result.failure = LastWin32Failure("CreateFileA");
        return result;
    }
    if (!LockByte(file.get(), LOCKFILE_EXCLUSIVE_LOCK)) {
        const DWORD code = ::GetLastError();
        if (IsLockConflict(code)) {
            result.outcome = InstanceLockResult::Outcome::Busy;
            result.holderPid = HolderOf(file.get());
        } else {
            result.failure = SysResult::Failure("LockFileEx", ErrnoFromWin32(code), static_cast<long>(code));
        }
        return result;
    }
    const std::string pid = std::to_string(CurrentProcessId()) + "\n";
    DWORD written = 0;
    OVERLAPPED start{};
    LARGE_INTEGER zero{};
    if (!::SetFilePointerEx(file.get(), zero, nullptr, FILE_BEGIN) || !::SetEndOfFile(file.get()) ||
        !::WriteFile(file.get(), pid.data(), static_cast<DWORD>(pid.size()), &written, &start) || written != pid.size()) {
        // The lock holds all the same; only the id a second server would name is missing.
        result.failure = LastWin32Failure("WriteFile");
    }
    // The handle stays open, and so the lock held, until the process ends; the system releases
    // the lock then, however the process ends.
    (void)file.Release();
    result.outcome = InstanceLockResult::Outcome::Held;
    return result;
}

InstanceLockState QueryInstanceLock(const std::string& path) {
    InstanceLockState state;
    OwnedHandle file(OpenLockFile(path, GENERIC_READ, OPEN_EXISTING));
    if (!file.valid()) return state;
    // A shared lock is refused only while someone holds the exclusive one; taken, it is given
    // back at once so a starting server is never kept out.
    if (LockByte(file.get(), 0)) {
        UnlockByte(file.get());
        return state;
    }
    if (!IsLockConflict(::GetLastError())) return state;
    state.held = true;
    state.holderPid = HolderOf(file.get());
    FILETIME written{};
    if (::GetFileTime(file.get(), nullptr, nullptr, &written)) state.since = UnixTime(written);
    return state;
}

} // namespace vserver::platform
