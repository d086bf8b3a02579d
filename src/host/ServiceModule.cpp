#include "host/ServiceModule.h"

#include "platform/EventLog.h"

namespace vserver::host {

void ServiceModule::InitModule() {
    serviceName_ = kServiceName;
    state_ = ServiceState::Stopped;
    isService = true;
}

bool ServiceModule::RegisterControlHandler() {
    return status_.RegisterControlHandler(serviceName_, [this](int control) { ControlHandler(control); });
}

void ServiceModule::SetState(ServiceState state) {
    state_ = state;
    // Both number the states as service managers do.
    status_.ReportState(static_cast<platform::ServiceStatus>(state));
}

void ServiceModule::ControlHandler(int control) {
    switch (control) {
    case kControlStop:
        SetState(ServiceState::StopPending);
        if (postQuit) postQuit();
        return;
    case kControlPause:
    case kControlContinue:
    case kControlInterrogate:
    case kControlShutdown:
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

} // namespace vserver::host
