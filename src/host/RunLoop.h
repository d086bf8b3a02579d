#pragma once
// The run loop: owns the one server object from creation to destruction, serves events until a
// stop signal arrives, then shuts the server down.

#include "host/ServiceModule.h"

namespace vserver::host {

void Run(ServiceModule& module);
void ServeUntilStopped(ServiceModule& module);

} // namespace vserver::host
