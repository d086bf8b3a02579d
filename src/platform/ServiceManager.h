#pragma once
// The system's service manager as the installer sees it: one service per unit, created with
// its definition, enabled to start at boot, stopped and removed again. On Linux this is
// systemd; the unit folder and the systemctl program can be redirected for tests through
// VSERVER_SYSTEMD_UNIT_DIR and VSERVER_SYSTEMCTL. A unit that a package shipped lives in the
// package unit folders instead (/lib/systemd/system, /usr/lib/systemd/system, or for tests
// VSERVER_SYSTEMD_PACKAGE_UNIT_DIR) and belongs to the package manager.

#include <optional>
#include <string>
#include <utility>

#include "platform/SysResult.h"

namespace vserver::platform {

struct ServiceDefinition {
    std::string name;             // the service's name; the unit is name + ".service"
    std::string displayName;
    std::string executablePath;   // full path of the program the manager starts
    std::string arguments;        // passed after the path, for example "-Service"
};

// The unit file text for a definition: a notify-type service that reports its own readiness,
// restarted on failure and wanted by the normal multi-user boot target.
std::string ServiceUnitText(const ServiceDefinition& definition);

class ServiceManager {
public:
    // A handle on the service manager, or nothing when none can be reached: systemd is not
    // running and no unit folder was named in the environment.
    static std::optional<ServiceManager> Open();

    // Whether a package installed a unit of this service name. Asked without a handle, since
    // a package may be installed where systemd does not run (a container). While a unit folder
    // is named for tests, only VSERVER_SYSTEMD_PACKAGE_UNIT_DIR counts, so a test never sees
    // the machine's own packages.
    static bool IsPackaged(const std::string& name);

    // Whether a unit of this service name exists.
    bool IsInstalled(const std::string& name) const;

    // Writes the unit (replacing the file whole) and enables it. On failure nothing of the
    // service is left behind.
    SysResult Create(const ServiceDefinition& definition) const;

    // Whether this process may remove the service's unit: it exists and its folder is writable.
    SysResult OpenForRemoval(const std::string& name) const;

    // Asks the manager to stop the service and waits until it has.
    SysResult Stop(const std::string& name) const;

    // Disables the service and removes its unit. When disabling fails the unit is kept, so the
    // service stays whole and a later attempt can finish the job.
    SysResult Delete(const std::string& name) const;

    const std::string& unitFolder() const { return unitFolder_; }

private:
    ServiceManager(std::string unitFolder, std::string systemctl)
        : unitFolder_(std::move(unitFolder)), systemctl_(std::move(systemctl)) {}
    std::string UnitPath(const std::string& name) const;
    SysResult RunSystemctl(const char* verb, const std::string& name) const;

    std::string unitFolder_;
    std::string systemctl_;
};

} // namespace vserver::platform
