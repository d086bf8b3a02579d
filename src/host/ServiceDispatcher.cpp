#include "host/ServiceDispatcher.h"

#include "host/RunLoop.h"
#include "platform/ServiceHost.h"
#include "settings/ServiceLog.h"

namespace vserver::host {

void StartDispatcher(ServiceModule& module) {
    if (module.isService) {
        // A process started by hand is not handed over and serves as a plain process instead.
        if (!platform::RunUnderServiceManager(module.serviceName(), [&module] { ServiceEntry(module); })) {
            module.isService = false;
        }
    }
    if (!module.isService) Run(module);
}

void ServiceEntry(ServiceModule& module) {
    module.SetState(ServiceState::StartPending);
    if (!module.RegisterControlHandler()) {
        module.ReportServiceEvent("Handler not installed");
        settings::WriteServiceLog("Handler not installed");
        return;
    }
    module.SetState(ServiceState::StartPending);
    Run(module);
    module.SetState(ServiceState::Stopped);
    module.ReportServiceEvent("Service stopped");
}

} // namespace vserver::host
