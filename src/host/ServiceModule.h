#pragma once
// The process-wide service host: the service's name and state, the channel on which the state
// goes to the service manager, the control handler, and the reporting of events. One instance
// lives for the whole process; the run loop reports its states through it.

#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/ServiceHost.h"

namespace vserver::host {

inline constexpr const char* kServiceName = "VServerService";
inline constexpr const char* kDisplayName = "Vantorel Server Service";
inline constexpr const char* kAppIdGuid = "{6A1F3C52-8B7D-4E21-9C0A-5D3E7B19F4A2}";

enum class ServiceState {
    Stopped = 1,
    StartPending = 2,
    StopPending = 3,
    Running = 4,
};

// Control codes the service manager may send; any other is not ours.
inline constexpr int kControlStop = 1;
inline constexpr int kControlPause = 2;
inline constexpr int kControlContinue = 3;
inline constexpr int kControlInterrogate = 4;
inline constexpr int kControlShutdown = 5;
inline constexpr int kControlPreshutdown = 15;

// Longest event text; longer texts are cut.
inline constexpr std::size_t kMaxEventText = 255;

class ServiceModule {
public:
    // True while the process runs under the service manager. Start-up decides it from the
    // registration; a failed hand-over to the service manager clears it.
    bool isService = false;

    // Loads the service name and sets the initial status: stopped, expected to run as a service.
    void InitModule();
    const std::string& serviceName() const { return serviceName_; }

    // Connects to the service manager's status channel (the address it handed the process).
    // Fails when there is none or it cannot be reached; states then stay local.
    platform::SysResult RegisterControlHandler();

    // A control request from the service manager; on Linux SIGTERM (and SIGINT for a process
    // run by hand) arrive here as the stop control (1).
    void ControlHandler(int control);

    // Installs how a stop control ends the serving loop (the stand-in for posting the quit
    // message to the loop's thread); nullptr removes it. The control handler may run on the
    // manager's own thread at any moment, so once this returns with nullptr, no call of the
    // previous action is under way or can begin, and the loop it points to may go.
    void SetQuitAction(std::function<void()> action);

    // Stores the state and reports it to the service manager when connected to it.
    void SetState(ServiceState state);
    ServiceState state() const { return state_; }

    // The line of text the service manager shows beside the state, where it shows one (see
    // platform::ServiceHost). ReportStatusText is false when the manager did not take it now.
    bool ShowsStatusText() const { return status_.ShowsStatusText(); }
    bool ReportStatusText(std::string_view text) { return status_.ReportStatusText(text); }

    // An informational event: the system log under the service's name when running as a
    // service, a line on standard output otherwise. Cut at 255 characters.
    void ReportServiceEvent(std::string_view text);

    // A failure that ends the process: one line on standard error, and at error priority in the
    // system log when the service manager started the process.
    void ReportFailure(std::string_view text) const;
    // A setting the server works around: standard error, and a warning in the system log when
    // the service manager started the process.
    void ReportProblem(std::string_view text) const;

private:
    void PostQuit();

    std::string serviceName_ = kServiceName;
    // Guards quitAction_ between the loop's thread and the manager's control thread; the
    // action itself only wakes the loop, so holding the lock while it runs costs nothing.
    std::mutex quitLock_;
    std::function<void()> quitAction_;
    // Written by the manager's control thread too, on systems that have one.
    std::atomic<ServiceState> state_ = ServiceState::Stopped;
    platform::ServiceHost status_;
};

} // namespace vserver::host
