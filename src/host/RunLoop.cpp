#include "host/RunLoop.h"

#include <string>

#include "net/ServerCore.h"
#include "platform/EventLog.h"
#include "platform/EventLoop.h"
#include "platform/ProcessInfo.h"
#include "platform/RegistryFile.h"
#include "requests/Dispatcher.h"
#include "settings/ServiceLog.h"

namespace vserver::host {

namespace {

constexpr int kStopControl = 1;

} // namespace

bool Run(ServiceModule& module) {
    // The thread and security preparation of the original platform has no counterpart here:
    // there is nothing to initialise before serving.
    return ServeUntilStopped(module);
}

bool ServeUntilStopped(ServiceModule& module) {
    platform::RaiseOpenFileLimit();
    platform::EventLoop loop;
    auto server = std::make_unique<net::ServerCore>(loop, settings::ConfigStore(platform::RegistryFilePath()));
    auto dispatcher = std::make_unique<requests::Dispatcher>(*server);

    module.postQuit = [&loop] { loop.Stop(); };
    // The stop signals are taken into the loop before anything can be served, so a stop never
    // kills the process half way through a request.
    (void)loop.WatchStopSignals([&module](platform::StopSignal) { module.ControlHandler(kStopControl); });

    const bool initialized = server->InitializeServer();
    if (initialized) {
        module.ReportServiceEvent("Service started");
        if (module.isService) module.SetState(ServiceState::Running);
        loop.Run();
    } else {
        settings::WriteServiceLog("Can't initialize server object");
        std::string text = "Can't initialize server object";
        if (!server->failureCause.empty()) text += ": " + server->failureCause;
        platform::ShowMessageBox(module.serviceName().c_str(), text);
    }
    if (!server->ShutdownServer()) settings::WriteServiceLog("Can't shut down server object");
    // Pending liveness checks are dropped with the dispatcher, before the connections go.
    dispatcher.reset();
    server.reset();
    module.postQuit = nullptr;
    return initialized;
}

} // namespace vserver::host
