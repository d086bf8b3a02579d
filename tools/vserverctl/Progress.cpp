#include "vserverctl/Progress.h"

#include <cstdio>
#include <string>

#include "vserverctl/Terminal.h"

namespace vserver::ctl {

namespace {

using namespace std::chrono_literals;

constexpr std::size_t kBarWidth = 30;
constexpr std::size_t kNameWidth = 25;

} // namespace

Progress::Progress(std::size_t total, bool shown) : total_(total), shown_(shown && StandardErrorIsTerminal()) {}

Progress::~Progress() {
    if (!drawn_) return;
    // Blank the line the bar stood on.
    std::fprintf(stderr, "\r%s\r", std::string(kBarWidth + kNameWidth + 24, ' ').c_str());
    std::fflush(stderr);
}

void Progress::Step(std::string_view current) {
    ++done_;
    if (!shown_ || total_ == 0) return;
    const Clock::time_point now = Clock::now();
    if (now - started_ < 1s || now - lastDrawn_ < 100ms) return;
    lastDrawn_ = now;
    drawn_ = true;
    const std::size_t filled = kBarWidth * done_ / total_;
    std::string name(current.substr(0, kNameWidth));
    name.resize(kNameWidth, ' ');
    std::fprintf(stderr, "\r[%s%s] %zu/%zu %s", std::string(filled, '#').c_str(),
                 std::string(kBarWidth - filled, '.').c_str(), done_, total_, name.c_str());
    std::fflush(stderr);
}

} // namespace vserver::ctl
