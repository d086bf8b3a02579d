#pragma once
// Installing the program into the system's service manager and removing it again. Failures are
// shown to the person running the installer as message boxes and answered with false; nothing
// goes to the service log.

#include "host/ServiceModule.h"

namespace vserver::host {

// Whether the service manager knows a service of the module's name; false when the manager
// cannot be reached.
bool IsInstalled(const ServiceModule& module);

// Creates the service (started at boot, running this executable with "-Service"). True when it
// exists afterwards, also when it already existed.
bool Install(const ServiceModule& module);

// Stops and removes the service. True when it is gone afterwards, also when it never existed.
bool Uninstall(const ServiceModule& module);

} // namespace vserver::host
