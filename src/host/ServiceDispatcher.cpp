#include "host/ServiceDispatcher.h"

#include "host/RunLoop.h"
#include "platform/SystemNotify.h"
#include "settings/ServiceLog.h"

namespace vserver::host {

void StartDispatcher(ServiceModule& module) {
    if (module.isService) {
        // The manager hands over by naming its notification socket; a process started by hand
        // has none and serves as a plain process instead.
        if (platform::NotifyAddressFromEnvironment()) {
            ServiceEntry(module);
        } else {
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
