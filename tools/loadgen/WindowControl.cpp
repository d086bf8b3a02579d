#include "loadgen/WindowControl.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "loadgen/LoopbackTarget.h"

namespace vserver::loadgen {

WindowControl::~WindowControl() {
    if (control_ >= 0) ::close(control_);
    if (ack_ >= 0) ::close(ack_);
}

bool WindowControl::Open(const std::string& fifos, std::string* error) {
    std::string control = fifos.substr(0, fifos.find(','));
    std::string ack = fifos.find(',') == std::string::npos ? std::string() : fifos.substr(fifos.find(',') + 1);
    // Opening a fifo for writing without a reader fails at once with ENXIO: the profiler may
    // still be starting.
    std::uint64_t deadline = NowNs() + ToNs(10);
    while ((control_ = ::open(control.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) < 0 && errno == ENXIO && NowNs() < deadline) {
        ::usleep(10'000);
    }
    if (control_ < 0) {
        *error = "cannot open the control fifo " + control + ": " + std::strerror(errno);
        return false;
    }
    if (!ack.empty() && (ack_ = ::open(ack.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)) < 0) {
        *error = "cannot open the acknowledgement fifo " + ack + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void WindowControl::Send(const char* command) {
    if (control_ < 0) return;
    std::string line = std::string(command) + "\n";
    (void)!::write(control_, line.data(), line.size());
    if (ack_ < 0) return;
    pollfd waiting{ack_, POLLIN, 0};
    char answer[16];
    // The writer may not have opened its end yet: a read then sees no data, and poll reports
    // the hang-up of a fifo without writers, so wait in short steps.
    for (std::uint64_t deadline = NowNs() + ToNs(5); NowNs() < deadline;) {
        if (::poll(&waiting, 1, 50) > 0 && ::read(ack_, answer, sizeof answer) > 0) return;
        ::usleep(1'000);
    }
}

} // namespace vserver::loadgen
