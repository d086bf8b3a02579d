#include "host/ServiceModule.h"

#include <cerrno>

#include "platform/EventLog.h"

namespace vserver::host {

void ServiceModule::InitModule() {
    serviceName_ = kServiceName;
    state_ = ServiceState::Stopped;
    isService = true;
}

platform::SysResult ServiceModule::RegisterControlHandler() {
    return status_.RegisterControlHandler(serviceName_, [this](int control) { ControlHandler(control); });
}

void ServiceModule::SetQuitAction(std::function<void()> action) {
    std::lock_guard<std::mutex> guard(quitLock_);
    quitAction_ = std::move(action);
}

void ServiceModule::PostQuit() {
    std::lock_guard<std::mutex> guard(quitLock_);
    if (quitAction_) quitAction_();
}

void ServiceModule::SetState(ServiceState state) {
    state_ = state;
    // Both number the states as service managers do.
    status_.ReportState(static_cast<platform::ServiceStatus>(state));
}

void ServiceModule::ControlHandler(int control) {
    switch (control) {
    // When the system shuts down it gives the service a moment to end before the process is
    // ended: the server ends as on a stop, with its writes finished and its log closed.
    case kControlStop:
    case kControlShutdown:
    case kControlPreshutdown:
        SetState(ServiceState::StopPending);
        PostQuit();
        return;
    case kControlPause:
    case kControlContinue:
    case kControlInterrogate:
        return;
    default:
        ReportServiceEvent("Bad service request");
        return;
    }
}

void ServiceModule::ReportServiceEvent(std::string_view text) {
    if (text.size() > kMaxEventText) text = text.substr(0, kMaxEventText);
    if (isService) {
        platform::ReportSystemEvent(serviceName_.c_str(), text);
    } else {
        platform::WriteStandardOutputLine(text);
    }
}

namespace {

// Started by the service manager: its journal keeps the system log, where an operator looks
// first; standard error goes there too, but without a priority.
void ReportToOperator(const std::string& serviceName, platform::SystemLogPriority priority, std::string_view text) {
    platform::ShowMessageBox(serviceName.c_str(), text);
    if (platform::StartedByServiceManager()) platform::ReportSystemProblem(serviceName.c_str(), priority, text);
}

} // namespace

void ServiceModule::ReportFailure(std::string_view text) const {
    ReportToOperator(serviceName_, platform::SystemLogPriority::Error, text);
}

void ServiceModule::ReportProblem(std::string_view text) const {
    ReportToOperator(serviceName_, platform::SystemLogPriority::Warning, text);
}

} // namespace vserver::host
