#pragma once
// The service-log lines for requests of unknown type, limited per connection: a client that
// sends nothing but end bytes (each one an empty request of unknown type) must not turn every
// byte into a line. A connection gets at most kLinesPerWindow lines per window; the lines left
// out are counted and reported in one line when the window ends or the connection closes.

#include <chrono>
#include <cstdint>
#include <unordered_map>

#include "platform/EventLoop.h"

namespace vserver::requests {

class UnknownTypeLog {
public:
    static constexpr int kLinesPerWindow = 5;
    static constexpr std::chrono::milliseconds kWindow{1000};

    explicit UnknownTypeLog(platform::EventLoop& loop) : loop_(loop) {}
    ~UnknownTypeLog();
    UnknownTypeLog(const UnknownTypeLog&) = delete;
    UnknownTypeLog& operator=(const UnknownTypeLog&) = delete;

    // One request of unknown type from the connection at index.
    void Record(int index);
    // The connection at index has closed: what it had left out is reported now.
    void OnConnectionClosed(int index);

private:
    struct Window {
        int written = 0;
        long long leftOut = 0;
        platform::EventLoop::TimerId timer = 0;
    };

    void EndWindow(int index);

    platform::EventLoop& loop_;
    std::unordered_map<int, Window> windows_;
};

} // namespace vserver::requests
