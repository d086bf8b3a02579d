#include "platform/SysResult.h"

#include <winsock2.h>
#include <windows.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "Win32Error.h"

namespace vserver::platform {

namespace {

struct Mapping {
    unsigned long code;
    int error;
};

constexpr Mapping kMappings[] = {
    {ERROR_FILE_NOT_FOUND, ENOENT},
    {ERROR_PATH_NOT_FOUND, ENOENT},
    {ERROR_INVALID_NAME, ENOENT},
    {ERROR_BAD_NETPATH, ENOENT},
    {ERROR_INVALID_DRIVE, ENOENT},
    {ERROR_TOO_MANY_OPEN_FILES, EMFILE},
    {ERROR_ACCESS_DENIED, EACCES},
    {ERROR_SHARING_VIOLATION, EACCES},
    {ERROR_WRITE_PROTECT, EROFS},
    {ERROR_INVALID_HANDLE, EBADF},
    {ERROR_NOT_ENOUGH_MEMORY, ENOMEM},
    {ERROR_OUTOFMEMORY, ENOMEM},
    {ERROR_FILE_EXISTS, EEXIST},
    {ERROR_ALREADY_EXISTS, EEXIST},
    {ERROR_DIR_NOT_EMPTY, ENOTEMPTY},
    {ERROR_DIRECTORY, ENOTDIR},
    {ERROR_DISK_FULL, ENOSPC},
    {ERROR_HANDLE_DISK_FULL, ENOSPC},
    {ERROR_LOCK_VIOLATION, EWOULDBLOCK},
    {ERROR_INVALID_PARAMETER, EINVAL},
    {ERROR_FILENAME_EXCED_RANGE, ENAMETOOLONG},
    {ERROR_BROKEN_PIPE, EPIPE},
    {ERROR_NOT_SUPPORTED, ENOSYS},
    {WSAEINTR, EINTR},
    {WSAEBADF, EBADF},
    {WSAEACCES, EACCES},
    {WSAEFAULT, EFAULT},
    {WSAEINVAL, EINVAL},
    {WSAEMFILE, EMFILE},
    {WSAEWOULDBLOCK, EWOULDBLOCK},
    {WSAEINPROGRESS, EINPROGRESS},
    {WSAENOTSOCK, ENOTSOCK},
    {WSAEAFNOSUPPORT, EAFNOSUPPORT},
    {WSAEADDRINUSE, EADDRINUSE},
    {WSAEADDRNOTAVAIL, EADDRNOTAVAIL},
    {WSAENETDOWN, ENETDOWN},
    {WSAENETUNREACH, ENETUNREACH},
    {WSAECONNABORTED, ECONNABORTED},
    {WSAECONNRESET, ECONNRESET},
    {WSAENOBUFS, ENOBUFS},
    {WSAENOTCONN, ENOTCONN},
    {WSAETIMEDOUT, ETIMEDOUT},
    {WSAECONNREFUSED, ECONNREFUSED},
};

// The C runtime of Windows has no texts for the socket errors; these are the words the same
// errors have on every other system, so that a log line reads alike on each.
struct SocketErrorText {
    int error;
    const char* text;
};

constexpr SocketErrorText kSocketErrorTexts[] = {
    {EADDRINUSE, "Address already in use"},
    {EADDRNOTAVAIL, "Cannot assign requested address"},
    {EAFNOSUPPORT, "Address family not supported by protocol"},
    {ECONNABORTED, "Software caused connection abort"},
    {ECONNREFUSED, "Connection refused"},
    {ECONNRESET, "Connection reset by peer"},
    {EINPROGRESS, "Operation now in progress"},
    {ENETDOWN, "Network is down"},
    {ENETUNREACH, "Network is unreachable"},
    {ENOBUFS, "No buffer space available"},
    {ENOTCONN, "Transport endpoint is not connected"},
    {ENOTSOCK, "Socket operation on non-socket"},
    {ETIMEDOUT, "Connection timed out"},
    {EWOULDBLOCK, "Resource temporarily unavailable"},
};

const char* SocketErrorTextOf(int error) {
    for (const SocketErrorText& entry : kSocketErrorTexts) {
        if (entry.error == error) return entry.text;
    }
    return nullptr;
}

} // namespace

int ErrnoFromWin32(unsigned long code) {
    for (const Mapping& mapping : kMappings) {
        if (mapping.code == code) return mapping.error;
    }
    return EIO;
}

std::string SysResult::Describe() const {
    if (ok()) return {};
    if (const char* text = SocketErrorTextOf(error_)) return std::string(call_) + ": " + text;
    // A code without an errno counterpart, or with one the C runtime has no text for (the
    // socket errors), is described in the system's own words, so the log line still says what
    // went wrong.
    const char* runtimeText = std::strerror(error_);
    const bool runtimeKnows = runtimeText != nullptr && std::strncmp(runtimeText, "Unknown error", 13) != 0;
    if (native_ != error_ && native_ != 0 && (error_ == EIO || !runtimeKnows)) {
        char* text = nullptr;
        const DWORD length = ::FormatMessageA(
            FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
            static_cast<DWORD>(native_), 0, reinterpret_cast<char*>(&text), 0, nullptr);
        std::string described(text != nullptr ? text : "", length);
        if (text != nullptr) ::LocalFree(text);
        while (!described.empty() && (described.back() == '\n' || described.back() == '\r' || described.back() == ' ')) {
            described.pop_back();
        }
        if (described.empty()) described = "error " + std::to_string(native_);
        return std::string(call_) + ": " + described;
    }
    return std::string(call_) + ": " + (runtimeKnows ? runtimeText : "error " + std::to_string(error_));
}

// A lock taken without waiting fails with ERROR_LOCK_VIOLATION while another handle holds it.
bool IsLockBusy(const SysResult& result) {
    return !result.ok() && result.error() == EWOULDBLOCK && std::string_view(result.call()) == "LockFileEx";
}

SysResult LockBusy() { return SysResult::Failure("LockFileEx", EWOULDBLOCK, ERROR_LOCK_VIOLATION); }

} // namespace vserver::platform
