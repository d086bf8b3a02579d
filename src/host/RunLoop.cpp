#include "host/RunLoop.h"

#include <optional>
#include <string>

#include "accounts/AccountTemporaries.h"
#include "host/LiveStatus.h"
#include "host/LostNoticeLog.h"
#include "sessions/Server.h"
#include "platform/EventLog.h"
#include "platform/EventLoop.h"
#include "platform/ProcessInfo.h"
#include "platform/RegistryStore.h"
#include "requests/Dispatcher.h"
#include "settings/ServiceLog.h"
#include "settings/StartUpChecks.h"

namespace vserver::host {

namespace {

constexpr int kStopControl = 1;

// Settings the server works around are told once, at start, where the operator looks.
void ReportSettingProblems(const ServiceModule& module, const sessions::Server& server) {
    const settings::ConfigStore& config = server.config();
    const std::optional<std::string> problems[] = {
        settings::DescribePortProblem(server.portSetting, server.net().listeningPort(), config.registryName()),
        settings::DescribeFolderProblem(config.ReadMasterPathText(), server.usersFolder, config.registryName()),
        server.closedAccessRules.empty() ? std::nullopt : std::optional<std::string>(server.closedAccessRules),
    };
    for (const auto& problem : problems) {
        if (!problem) continue;
        settings::WriteServiceLog(*problem);
        module.ReportProblem(*problem);
    }
}

} // namespace

bool Run(ServiceModule& module) {
    // The thread and security preparation of the original platform has no counterpart here:
    // there is nothing to initialise before serving.
    return ServeUntilStopped(module);
}

bool ServeUntilStopped(ServiceModule& module) {
    platform::RaiseOpenFileLimit();
    platform::EventLoop loop;
    // From here on no service-log record waits for another process's lock inside the loop.
    settings::AttachServiceLogToLoop(loop);
    auto server = std::make_unique<sessions::Server>(loop, settings::ConfigStore(platform::OpenInstallationRegistry()));
    auto dispatcher = std::make_unique<requests::Dispatcher>(*server);

    module.SetQuitAction([&loop] { loop.Stop(); });
    // The stop signals are taken into the loop before anything can be served, so a stop never
    // kills the process half way through a request.
    (void)loop.WatchStopSignals([&module](platform::StopSignal) { module.ControlHandler(kStopControl); });

    const bool initialized = server->InitializeServer();
    if (initialized) {
        ReportSettingProblems(module, *server);
        // What a killed server left of the accounts it was making or removing goes before the
        // first request is served.
        accounts::ClearAccountTemporaries(server->usersFolder);
        module.ReportServiceEvent("Service started");
        if (module.isService) module.SetState(ServiceState::Running);
        LostNoticeLog lostNotices(loop);
        std::optional<LiveStatus> figures;
        if (module.isService && module.ShowsStatusText()) figures.emplace(loop, *server, module);
        loop.Run();
    } else {
        settings::WriteServiceLog("Can't initialize server object");
        module.ReportFailure(server->failureText + ": " + server->failureCause);
    }
    if (!server->ShutdownServer()) settings::WriteServiceLog("Can't shut down server object");
    // Pending liveness checks are dropped with the dispatcher, before the connections go.
    dispatcher.reset();
    server.reset();
    settings::DetachServiceLogFromLoop();
    module.SetQuitAction(nullptr);
    return initialized;
}

} // namespace vserver::host
