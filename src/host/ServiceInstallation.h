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
// exists afterwards, also when it already existed or a package installed it (then nothing is
// written: the package's unit stays the only one).
bool Install(const ServiceModule& module);

// Stops and removes the service. True when it is gone afterwards, also when it never existed.
// A unit that a package installed is not touched: it goes with the package.
bool Uninstall(const ServiceModule& module);

} // namespace vserver::host
