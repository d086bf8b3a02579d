#pragma once
// The hand-over between the process and the service manager: whether the manager started this
// process, and the service's own entry point that reports its states around the run loop.

#include "host/ServiceModule.h"

namespace vserver::host {

// Runs the service under the service manager when the module is to be a service and the
// manager started the process; otherwise clears isService and runs the server as a plain
// process. Returns when the server has stopped: false when it never served.
bool HandOverToServiceManager(ServiceModule& module);

// The service's entry point: connects to the manager's status channel, reports start pending,
// runs the server and reports stopped. Without the channel it reports "Handler not installed"
// and returns false at once; otherwise returns whether the server served.
bool ServiceEntry(ServiceModule& module);

} // namespace vserver::host
