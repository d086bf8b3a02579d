#include "platform/ProcessInfo.h"

#include <windows.h>

#include "platform/BackendCalls.h"

namespace vserver::platform {

std::optional<std::string> backend::ReadExecutablePath() {
    char buffer[MAX_PATH];
    const DWORD length = ::GetModuleFileNameA(nullptr, buffer, MAX_PATH);
    // A path that fills the buffer was cut short.
    if (length == 0 || length >= MAX_PATH) return std::nullopt;
    return std::string(buffer, length);
}

std::optional<std::string> EnvironmentValue(const char* name) {
    std::string value(256, '\0');
    for (;;) {
        ::SetLastError(ERROR_SUCCESS);
        const DWORD length = ::GetEnvironmentVariableA(name, value.data(), static_cast<DWORD>(value.size()));
        if (length == 0) {
            if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
            return std::string();
        }
        if (length < value.size()) {
            value.resize(length);
            return value;
        }
        value.resize(length);
    }
}

// Windows has no per-process descriptor limit to raise; sockets are bounded by memory.
void RaiseOpenFileLimit() {}

// Windows has no file size limit per process and no signal for reaching one: a write past what
// the disk takes fails like a full disk already.
void IgnoreFileSizeSignal() {}

// Asks the heap to give back free pages it holds at its end.
void ReturnFreeMemory() { (void)::HeapCompact(::GetProcessHeap(), 0); }

} // namespace vserver::platform
