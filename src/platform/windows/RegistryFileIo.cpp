// Reading and replacing the registry file on Windows: the same file, format and sidecar lock
// as on other systems.

#include <cerrno>

#include <algorithm>

#include "SidecarLock.h"
#include "platform/BackendCalls.h"
#include "platform/FileSystem.h"
#include "platform/RegistryFileIo.h"

namespace vserver::platform {

namespace {

// A change within this many nanoseconds of reading the stamps could still carry the same
// times: file systems keep times coarser than the clock (FAT to two seconds).
constexpr std::int64_t kSettledAfter = 2'000'000'000;

// 100-nanosecond ticks of a FILETIME or LARGE_INTEGER time as nanoseconds.
std::int64_t Nanoseconds(std::int64_t ticks) { return ticks * 100; }

std::int64_t NowNanoseconds() {
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER ticks{};
    ticks.LowPart = now.dwLowDateTime;
    ticks.HighPart = now.dwHighDateTime;
    return Nanoseconds(static_cast<std::int64_t>(ticks.QuadPart));
}

SysResult FillStamps(HANDLE file, RegistryFileStamps& out) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(file, &info)) return LastWin32Failure("GetFileInformationByHandle");
    FILE_BASIC_INFO times{};
    if (!::GetFileInformationByHandleEx(file, FileBasicInfo, &times, sizeof times)) {
        return LastWin32Failure("GetFileInformationByHandleEx");
    }
    out.exists = true;
    out.device = info.dwVolumeSerialNumber;
    out.inode = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    out.size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    out.modified = Nanoseconds(times.LastWriteTime.QuadPart);
    out.changed = Nanoseconds(times.ChangeTime.QuadPart);
    out.settled = NowNanoseconds() - std::max(out.modified, out.changed) > kSettledAfter;
    return SysResult::Ok();
}

bool IsMissing(DWORD code) { return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND; }

HANDLE OpenForReading(const std::string& path) {
    return ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Windows refuses to open a folder as a file with "access denied"; the administrator needs to
// read that the path names a folder.
SysResult OpenFailure(const std::string& path, DWORD code) {
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    if (code == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return SysResult::Failure("CreateFileA", EISDIR, static_cast<long>(code));
    }
    return SysResult::Failure("CreateFileA", ErrnoFromWin32(code), static_cast<long>(code));
}

} // namespace

SysResult ReadRegistryFileStamps(const std::string& path, RegistryFileStamps& out) {
    out = RegistryFileStamps();
    OwnedHandle file(OpenForReading(path));
    if (!file.valid()) {
        const DWORD code = ::GetLastError();
        if (IsMissing(code)) return SysResult::Ok();
        return OpenFailure(path, code);
    }
    return FillStamps(file.get(), out);
}

SysResult backend::ReadRegistryFileBytes(const std::string& path, std::string& bytes, RegistryFileStamps& before,
                                         RegistryFileStamps& after) {
    bytes.clear();
    before = RegistryFileStamps();
    after = RegistryFileStamps();
    OwnedHandle file(OpenForReading(path));
    if (!file.valid()) {
        const DWORD code = ::GetLastError();
        return IsMissing(code) ? SysResult::Ok() : OpenFailure(path, code);
    }
    if (SysResult filled = FillStamps(file.get(), before); !filled) return filled;
    bytes.resize(static_cast<std::size_t>(before.size) + 1);
    std::size_t got = 0;
    for (;;) {
        if (got == bytes.size()) bytes.resize(bytes.size() * 2);
        DWORD read = 0;
        const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - got, 1u << 30));
        if (!::ReadFile(file.get(), bytes.data() + got, wanted, &read, nullptr)) return LastWin32Failure("ReadFile");
        if (read == 0) break;
        got += read;
    }
    bytes.resize(got);
    return FillStamps(file.get(), after);
}

SysResult backend::TakeRegistryFileLock(const std::string& path, bool wait, IoHandle& lock, std::string& file) {
    OwnedHandle held;
    if (SysResult locked = LockSidecar(path, wait, held); !locked) return locked;
    lock = reinterpret_cast<IoHandle>(held.Release());
    file = path;
    return SysResult::Ok();
}

void backend::ReleaseRegistryFileLock(IoHandle lock) { ::CloseHandle(reinterpret_cast<HANDLE>(lock)); }

SysResult backend::ReplaceRegistryFile(const std::string& file, std::string_view text) {
    return ReplaceFileContent(file, text);
}

} // namespace vserver::platform
