#pragma once
// Win32 and Winsock error codes as errno values, so code above the platform layer compares
// failures the same way on every system, and small owners of Win32 handles.

#include <windows.h>

#include "platform/SysResult.h"

namespace vserver::platform {

// The errno value closest to a GetLastError or WSAGetLastError code; EIO for codes without one.
int ErrnoFromWin32(unsigned long code);

// A failure of call with the thread's last Win32 error.
inline SysResult LastWin32Failure(const char* call) {
    const DWORD code = ::GetLastError();
    return SysResult::Failure(call, ErrnoFromWin32(code), static_cast<long>(code));
}

// Closes a file or object handle when it goes.
class OwnedHandle {
public:
    explicit OwnedHandle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
    ~OwnedHandle() { Reset(); }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
    HANDLE Release() {
        HANDLE out = handle_;
        handle_ = INVALID_HANDLE_VALUE;
        return out;
    }
    void Reset(HANDLE handle = INVALID_HANDLE_VALUE) {
        if (valid()) ::CloseHandle(handle_);
        handle_ = handle;
    }

private:
    HANDLE handle_;
};

} // namespace vserver::platform
