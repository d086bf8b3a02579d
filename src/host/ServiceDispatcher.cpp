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
    if (platform::SysResult handler = module.RegisterControlHandler(); !handler) {
        module.ReportServiceEvent("Handler not installed");
        settings::WriteServiceLog("Handler not installed");
        const std::string cause = "the service manager's notification socket " +
                                  platform::NotifyAddressFromEnvironment().value_or("(none)") +
                                  " cannot be reached: " + handler.Describe();
        settings::WriteServiceLog("Service start failed: " + cause);
        module.ReportFailure("Handler not installed: " + cause);
        return false;
    }
    module.SetState(ServiceState::StartPending);
    const bool served = Run(module);
    module.SetState(ServiceState::Stopped);
    module.ReportServiceEvent("Service stopped");
    return served;
}

} // namespace vserver::host
