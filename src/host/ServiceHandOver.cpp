#include "host/ServiceHandOver.h"

#include "host/RunLoop.h"
#include "platform/ServiceHost.h"
#include "settings/ServiceLog.h"

namespace vserver::host {

bool HandOverToServiceManager(ServiceModule& module) {
    if (module.isService) {
        // A process started by hand is not handed over and serves as a plain process instead.
        bool served = false;
        if (platform::RunUnderServiceManager(module.serviceName(), [&] { served = ServiceEntry(module); })) return served;
        module.isService = false;
    }
    return Run(module);
}

bool ServiceEntry(ServiceModule& module) {
    module.SetState(ServiceState::StartPending);
    if (platform::SysResult handler = module.RegisterControlHandler(); !handler) {
        module.ReportServiceEvent("Handler not installed");
        settings::WriteServiceLog("Handler not installed");
        const std::string cause = platform::ServiceManagerChannel() + " cannot be reached: " + handler.Describe();
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
