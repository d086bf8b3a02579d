// The service control manager. Each operation opens the manager for itself, so a
// ServiceManager holds no handle between calls.

#include "platform/ServiceManager.h"

#include <windows.h>

#include "EventSource.h"
#include "Win32Error.h"

namespace vserver::platform {

namespace {

// Closes a service or manager handle when it goes.
class ServiceHandle {
public:
    explicit ServiceHandle(SC_HANDLE handle) : handle_(handle) {}
    ~ServiceHandle() {
        if (handle_ != nullptr) ::CloseServiceHandle(handle_);
    }
    ServiceHandle(const ServiceHandle&) = delete;
    ServiceHandle& operator=(const ServiceHandle&) = delete;
    SC_HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

private:
    SC_HANDLE handle_;
};

SC_HANDLE OpenManager() { return ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS); }

} // namespace

std::optional<ServiceManager> ServiceManager::Open() {
    ServiceHandle manager(OpenManager());
    if (!manager) return std::nullopt;
    return ServiceManager(std::string(), std::string());
}

bool ServiceManager::IsInstalled(const std::string& name) const {
    ServiceHandle manager(OpenManager());
    if (!manager) return false;
    ServiceHandle service(::OpenServiceA(manager.get(), name.c_str(), SERVICE_QUERY_CONFIG));
    return static_cast<bool>(service);
}

SysResult ServiceManager::Create(const ServiceDefinition& definition) const {
    ServiceHandle manager(OpenManager());
    if (!manager) return LastWin32Failure("OpenSCManagerA");
    std::string command = "\"" + definition.executablePath + "\"";
    if (!definition.arguments.empty()) command += " " + definition.arguments;
    static const char kDependencies[] = "RPCSS\0";
    ServiceHandle service(::CreateServiceA(manager.get(), definition.name.c_str(), definition.displayName.c_str(),
                                           SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                           SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr, kDependencies,
                                           nullptr, nullptr));
    if (!service) return LastWin32Failure("CreateServiceA");
    // The service's events are read with the messages of its own executable. Without the
    // source the service is not whole: it goes again, as a failed creation leaves nothing.
    SysResult source = backend::WriteEventSource(definition.name, definition.executablePath);
    if (!source) {
        ::DeleteService(service.get());
        return source;
    }
    return SysResult::Ok();
}

SysResult ServiceManager::OpenForRemoval(const std::string& name) const {
    ServiceHandle manager(OpenManager());
    if (!manager) return LastWin32Failure("OpenSCManagerA");
    ServiceHandle service(::OpenServiceA(manager.get(), name.c_str(), SERVICE_STOP | DELETE));
    if (!service) return LastWin32Failure("OpenServiceA");
    return SysResult::Ok();
}

SysResult ServiceManager::Stop(const std::string& name) const {
    ServiceHandle manager(OpenManager());
    if (!manager) return LastWin32Failure("OpenSCManagerA");
    ServiceHandle service(::OpenServiceA(manager.get(), name.c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS));
    if (!service) return LastWin32Failure("OpenServiceA");
    SERVICE_STATUS status{};
    if (!::ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) return LastWin32Failure("ControlService");
    // Wait for the stop, bounded: a service that never stops must not hang the installer.
    for (int waited = 0; waited < 300 && status.dwCurrentState != SERVICE_STOPPED; ++waited) {
        ::Sleep(100);
        if (!::QueryServiceStatus(service.get(), &status)) break;
    }
    return SysResult::Ok();
}

SysResult ServiceManager::Delete(const std::string& name) const {
    ServiceHandle manager(OpenManager());
    if (!manager) return LastWin32Failure("OpenSCManagerA");
    ServiceHandle service(::OpenServiceA(manager.get(), name.c_str(), DELETE));
    if (!service) return LastWin32Failure("OpenServiceA");
    if (!::DeleteService(service.get())) return LastWin32Failure("DeleteService");
    return backend::DeleteEventSource(name);
}

// No package manager installs services on Windows: a service is always one this program made.
bool ServiceManager::IsPackaged(const std::string&) { return false; }

} // namespace vserver::platform
