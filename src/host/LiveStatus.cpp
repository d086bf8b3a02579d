#include "host/LiveStatus.h"

#include "sessions/Server.h"

namespace vserver::host {

namespace {

std::string Counted(std::size_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

ServingFigures FiguresOf(const sessions::Server& server) {
    ServingFigures figures;
    figures.connections = server.net().connections.size();
    figures.sessions = server.net().connections.loggedOnCount() - server.net().connections.consoleCount();
    figures.logonsLocked = server.logonsLocked;
    return figures;
}

} // namespace

std::string DescribeServingFigures(const ServingFigures& figures) {
    return "Running: " + Counted(figures.connections, "connection", "connections") + ", " +
           Counted(static_cast<std::size_t>(figures.sessions), "session", "sessions") + ", logons " +
           (figures.logonsLocked ? "locked" : "open");
}

LiveStatus::LiveStatus(platform::EventLoop& loop, const sessions::Server& server, ServiceModule& module)
    : loop_(loop), server_(server), module_(module) {
    timer_ = loop_.AddTimer(kInterval, [this] { Look(); });
}

LiveStatus::~LiveStatus() { loop_.CancelTimer(timer_); }

void LiveStatus::Look() {
    timer_ = loop_.AddTimer(kInterval, [this] { Look(); });
    // Once the stop has begun, "Stopping" stays what the manager shows.
    if (module_.state() != ServiceState::Running) return;
    const ServingFigures figures = FiguresOf(server_);
    if (shown_ == figures) return;
    // A line the manager did not take is offered again at the next look.
    if (module_.ReportStatusText(DescribeServingFigures(figures))) shown_ = figures;
}

} // namespace vserver::host
