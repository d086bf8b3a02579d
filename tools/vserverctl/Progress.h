#pragma once
// A progress bar on standard error for work on many accounts: drawn only on a terminal, only
// once the work has taken a second, and at most ten times a second; cleared when done, so the
// output that follows stands alone.

#include <chrono>
#include <cstddef>
#include <string_view>

namespace vserver::ctl {

class Progress {
public:
    // shown: the caller's choice (not with --json); the terminal decides the rest.
    Progress(std::size_t total, bool shown);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // One more item is done; current names the next, or the one just done.
    void Step(std::string_view current);

private:
    using Clock = std::chrono::steady_clock;

    std::size_t total_;
    std::size_t done_ = 0;
    bool shown_;
    bool drawn_ = false;
    Clock::time_point started_ = Clock::now();
    Clock::time_point lastDrawn_{};
};

} // namespace vserver::ctl
