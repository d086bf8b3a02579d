// Under systemd the hand-over is the notify socket the manager names in the environment, the
// stop control is SIGTERM, and states are notify assignments.

#include "platform/ServiceHost.h"

#include <cerrno>

#include "platform/SystemNotify.h"

namespace vserver::platform {

namespace {

std::string StateNotification(ServiceStatus state) {
    switch (state) {
    case ServiceStatus::StartPending: return "STATUS=Starting";
    case ServiceStatus::Running: return "READY=1\nSTATUS=Running";
    case ServiceStatus::StopPending: return "STOPPING=1\nSTATUS=Stopping";
    case ServiceStatus::Stopped: return "STATUS=Stopped";
    }
    return "STATUS=Stopped";
}

} // namespace

bool RunUnderServiceManager(const std::string&, const std::function<void()>& entry) {
    // A process started by hand has no notification socket.
    if (!NotifyAddressFromEnvironment()) return false;
    entry();
    return true;
}

bool StartedByServiceManager() { return NotifyAddressFromEnvironment().has_value(); }

std::string ServiceManagerChannel() {
    return "the service manager's notification socket " + NotifyAddressFromEnvironment().value_or("(none)");
}

struct ServiceHost::State {
    NotifyChannel channel;
};

ServiceHost::ServiceHost() : state_(std::make_unique<State>()) {}

ServiceHost::~ServiceHost() = default;

SysResult ServiceHost::RegisterControlHandler(const std::string&, std::function<void(int)>) {
    auto address = NotifyAddressFromEnvironment();
    if (!address) return SysResult::Failure("getenv", ENOENT);
    return state_->channel.Open(*address);
}

void ServiceHost::ReportState(ServiceStatus state) {
    if (state_->channel.isOpen()) (void)state_->channel.Send(StateNotification(state));
}

bool ServiceHost::ShowsStatusText() const { return state_->channel.isOpen(); }

bool ServiceHost::ReportStatusText(std::string_view text) {
    if (!state_->channel.isOpen()) return false;
    std::string assignment = "STATUS=";
    assignment.append(text);
    return state_->channel.SendWithoutWaiting(assignment).ok();
}

} // namespace vserver::platform
