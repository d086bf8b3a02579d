#pragma once
// The process-wide service host: the service's name and state, and the reporting of events.
// One instance lives for the whole process; the run loop reports its states through it.

#include <functional>
#include <string>
#include <string_view>

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

class ServiceModule {
public:
    // True while the process runs under the service manager.
    bool isService = false;

    // Set by the run loop while it serves: ends the loop (the stand-in for posting the quit
    // message to the loop's thread).
    std::function<void()> postQuit;

    // A control request from the service manager; on Linux SIGTERM (and SIGINT for a process
    // run by hand) arrive here as the stop control (1).
    void ControlHandler(int control);

    // Stores the state and reports it to the service manager when running under it.
    void SetState(ServiceState state);
    ServiceState state() const { return state_; }

    // An informational event: the system log under the service's name when running as a
    // service, a line on standard output otherwise. Cut at 255 characters.
    void ReportServiceEvent(std::string_view text);

private:
    ServiceState state_ = ServiceState::Stopped;
};

} // namespace vserver::host
