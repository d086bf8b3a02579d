#include "host/ServiceDispatcher.h"

#include "host/RunLoop.h"
#include "platform/SystemNotify.h"
#include "settings/ServiceLog.h"

namespace vserver::host {

bool StartDispatcher(ServiceModule& module) {
    if (module.isService) {
        // The manager hands over by naming its notification socket; a process started by hand
        // has none and serves as a plain process instead.
        if (platform::NotifyAddressFromEnvironment()) return ServiceEntry(module);
        module.isService = false;
    }
    return Run(module);
}

bool ServiceEntry(ServiceModule& module) {
    module.SetState(ServiceState::StartPending);
    if (!module.RegisterControlHandler()) {
        module.ReportServiceEvent("Handler not installed");
        settings::WriteServiceLog("Handler not installed");
        return false;
    }
    module.SetState(ServiceState::StartPending);
    const bool served = Run(module);
    module.SetState(ServiceState::Stopped);
    module.ReportServiceEvent("Service stopped");
    return served;
}

} // namespace vserver::host
