#include "host/ServiceInstallation.h"

#include "platform/EventLog.h"
#include "platform/ProcessInfo.h"
#include "platform/ServiceManager.h"

namespace vserver::host {

namespace {

bool Fail(const ServiceModule& module, const char* text) {
    platform::ShowMessageBox(module.serviceName().c_str(), text);
    return false;
}

} // namespace

bool IsInstalled(const ServiceModule& module) {
    auto manager = platform::ServiceManager::Open();
    return manager && manager->IsInstalled(module.serviceName());
}

bool Install(const ServiceModule& module) {
    // The package's own unit is the service: a second one in the administrator's unit folder
    // would override it and escape the package's upgrades and removal.
    if (platform::ServiceManager::IsPackaged(module.serviceName())) return true;
    if (IsInstalled(module)) return true;
    auto manager = platform::ServiceManager::Open();
    if (!manager) return Fail(module, "Couldn't open service manager");
    auto path = platform::ExecutablePath();
    if (!path) return Fail(module, "Couldn't create service");
    platform::ServiceDefinition definition{module.serviceName(), kDisplayName, *path, "-Service"};
    if (!manager->Create(definition)) return Fail(module, "Couldn't create service");
    return true;
}

bool Uninstall(const ServiceModule& module) {
    if (!IsInstalled(module)) return true;
    auto manager = platform::ServiceManager::Open();
    if (!manager) return Fail(module, "Couldn't open service manager");
    if (!manager->OpenForRemoval(module.serviceName())) return Fail(module, "Couldn't open service");
    // Only the removal decides: a service that was not running cannot be stopped either.
    (void)manager->Stop(module.serviceName());
    if (!manager->Delete(module.serviceName())) return Fail(module, "Service could not be deleted");
    return true;
}

} // namespace vserver::host
