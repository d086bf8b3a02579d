#pragma once
// The run loop: owns the one server object from creation to destruction, serves events until a
// stop signal arrives, then shuts the server down.

#include "host/ServiceModule.h"

namespace vserver::host {

// Both return false when the server could not be initialised (it then did not serve).
bool Run(ServiceModule& module);
bool ServeUntilStopped(ServiceModule& module);

} // namespace vserver::host
