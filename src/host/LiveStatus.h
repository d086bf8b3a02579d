#pragma once
// The figures a serving server shows its service manager beside the state ("systemctl status"):
// how many connections and sessions it serves and whether logons are locked. LiveStatus looks at
// the connection table's counters on a timer and sends a line only when they changed, so
// serving requests costs nothing extra. It points to the loop, the server and the module, which
// must outlive it.

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

#include "host/ServiceModule.h"
#include "platform/EventLoop.h"

namespace vserver::sessions { class Server; }

namespace vserver::host {

struct ServingFigures {
    std::size_t connections = 0;  // every connection, logged on or not, consoles included
    int sessions = 0;             // logged on, consoles left out
    bool logonsLocked = false;

    bool operator==(const ServingFigures&) const = default;
};

// "Running: 3 connections, 1 session, logons open".
std::string DescribeServingFigures(const ServingFigures& figures);

class LiveStatus {
public:
    // How long the figures shown may lag behind; also the most often a line is sent.
    static constexpr std::chrono::seconds kInterval{2};

    LiveStatus(platform::EventLoop& loop, const sessions::Server& server, ServiceModule& module);
    ~LiveStatus();
    LiveStatus(const LiveStatus&) = delete;
    LiveStatus& operator=(const LiveStatus&) = delete;

private:
    void Look();

    platform::EventLoop& loop_;
    const sessions::Server& server_;
    ServiceModule& module_;
    std::optional<ServingFigures> shown_;
    platform::EventLoop::TimerId timer_ = 0;
};

} // namespace vserver::host
