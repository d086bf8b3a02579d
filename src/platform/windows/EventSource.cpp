#include "EventSource.h"

#include <windows.h>

#include "Win32Error.h"

namespace vserver::platform::backend {

namespace {

SysResult Failure(const char* call, LSTATUS status) {
    return SysResult::Failure(call, ErrnoFromWin32(static_cast<unsigned long>(status)), static_cast<long>(status));
}

LSTATUS SetValue(HKEY key, const char* name, DWORD type, const void* data, std::size_t size) {
    return ::RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), static_cast<DWORD>(size));
}

} // namespace

std::string EventSourceKey(const std::string& name) {
    return "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + name;
}

SysResult WriteEventSource(const std::string& name, const std::string& messageFile) {
    HKEY key = nullptr;
    LSTATUS status = ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, EventSourceKey(name).c_str(), 0, nullptr,
                                       REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) return Failure("RegCreateKeyExA", status);
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    status = SetValue(key, "EventMessageFile", REG_EXPAND_SZ, messageFile.c_str(), messageFile.size() + 1);
    if (status == ERROR_SUCCESS) status = SetValue(key, "TypesSupported", REG_DWORD, &types, sizeof types);
    ::RegCloseKey(key);
    return status == ERROR_SUCCESS ? SysResult::Ok() : Failure("RegSetValueExA", status);
}

SysResult DeleteEventSource(const std::string& name) {
    const LSTATUS status = ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, EventSourceKey(name).c_str());
    if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) return SysResult::Ok();
    return Failure("RegDeleteKeyA", status);
}

} // namespace vserver::platform::backend
