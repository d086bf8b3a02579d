#include "host/ServiceModule.h"

#include <cstdio>

namespace vserver::host {

void ServiceModule::SetState(ServiceState state) { state_ = state; }

void ServiceModule::ControlHandler(int control) {
    if (control != 1) return;
    SetState(ServiceState::StopPending);
    if (postQuit) postQuit();
}

void ServiceModule::ReportServiceEvent(std::string_view text) {
    if (text.size() > 255) text = text.substr(0, 255);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

} // namespace vserver::host
