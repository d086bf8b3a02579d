#include "host/RunLoop.h"

#include "net/ServerCore.h"
#include "platform/EventLoop.h"
#include "platform/ProcessInfo.h"
#include "platform/RegistryFile.h"
#include "requests/Dispatcher.h"
#include "settings/ServiceLog.h"

namespace vserver::host {

namespace {

constexpr int kStopControl = 1;

} // namespace

void Run(ServiceModule& module) {
    // The thread and security preparation of the original platform has no counterpart here:
    // there is nothing to initialise before serving.
    ServeUntilStopped(module);
}

void ServeUntilStopped(ServiceModule& module) {
    platform::RaiseOpenFileLimit();
    platform::EventLoop loop;
    // From here on no service-log record waits for another process's lock inside the loop.
    settings::AttachServiceLogToLoop(loop);
    auto server = std::make_unique<net::ServerCore>(loop, settings::ConfigStore(platform::RegistryFilePath()));
    auto dispatcher = std::make_unique<requests::Dispatcher>(*server);

    module.postQuit = [&loop] { loop.Stop(); };
    // The stop signals are taken into the loop before anything can be served, so a stop never
    // kills the process half way through a request.
    (void)loop.WatchStopSignals([&module](platform::StopSignal) { module.ControlHandler(kStopControl); });

    if (server->InitializeServer()) {
        module.ReportServiceEvent("Service started");
        if (module.isService) module.SetState(ServiceState::Running);
        loop.Run();
    } else {
        settings::WriteServiceLog("Can't initialize server object");
    }
    if (!server->ShutdownServer()) settings::WriteServiceLog("Can't shut down server object");
    // Pending liveness checks are dropped with the dispatcher, before the connections go.
    dispatcher.reset();
    server.reset();
    settings::DetachServiceLogFromLoop();
    module.postQuit = nullptr;
}

} // namespace vserver::host
