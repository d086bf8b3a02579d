#pragma once
// The service-log line for readiness notices the system would not queue (a full message queue
// on Windows). The loop serves the sockets all the same; the count tells an administrator that
// the machine ran at the system's limit. Counted notices are written at most once per window,
// as one line, and what is still counted when the log goes is written then.

#include <chrono>
#include <cstdint>

#include "platform/EventLoop.h"

namespace vserver::host {

class LostNoticeLog {
public:
    static constexpr std::chrono::milliseconds kWindow{60'000};

    explicit LostNoticeLog(platform::EventLoop& loop, std::chrono::milliseconds window = kWindow);
    ~LostNoticeLog();
    LostNoticeLog(const LostNoticeLog&) = delete;
    LostNoticeLog& operator=(const LostNoticeLog&) = delete;

    // One notice lost; the loop calls this once the log is constructed.
    void Record();

private:
    void EndWindow();

    platform::EventLoop& loop_;
    std::chrono::milliseconds window_;
    std::uint64_t counted_ = 0;
    platform::EventLoop::TimerId timer_ = 0;
    bool windowOpen_ = false;
};

} // namespace vserver::host
