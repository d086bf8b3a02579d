#pragma once
// The service manager as the running service sees it: the hand-over of the process to the
// manager, the manager's control requests, and the reports of the service's state. ServiceHost
// owns the connection to the manager from RegisterControlHandler until it is destroyed.

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/SysResult.h"

namespace vserver::platform {

// The states a service reports, numbered as service managers number them.
enum class ServiceStatus { Stopped = 1, StartPending = 2, StopPending = 3, Running = 4 };

// Runs entry as the service called name when the service manager started this process, and
// returns true once entry has returned (the process may then end). Returns false at once,
// without running entry, when the process was started some other way.
bool RunUnderServiceManager(const std::string& name, const std::function<void()>& entry);

// True when the service manager started this process (its operator then looks in the system
// log first).
bool StartedByServiceManager();

// The way to the service manager, named for messages ("the service manager's notification
// socket /run/systemd/notify").
std::string ServiceManagerChannel();

class ServiceHost {
public:
    ServiceHost();
    ~ServiceHost();
    ServiceHost(const ServiceHost&) = delete;
    ServiceHost& operator=(const ServiceHost&) = delete;

    // Connects the service called name to its manager; the manager's control codes then go to
    // handler, which may run on a thread of the manager's own. Where the manager stops a
    // service by signal instead, the stop arrives through the event loop and handler is never
    // called. A failure, naming the call and the system error, when no manager can be reached.
    SysResult RegisterControlHandler(const std::string& name, std::function<void(int)> handler);

    // Tells the manager the service's state once connected; before that the call does nothing.
    // A lost report cannot be told anywhere useful; the manager's own timeouts cover it.
    void ReportState(ServiceStatus state);

    // True when the manager shows a line of text the service sets beside its state (systemd's
    // STATUS=, which "systemctl status" prints); elsewhere ReportStatusText does nothing.
    bool ShowsStatusText() const;
    // Replaces that line. It never waits for the manager: false when the manager did not take
    // the text now (the caller may try again later), or when there is no such line.
    bool ReportStatusText(std::string_view text);

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace vserver::platform
