#pragma once
// Tells a profiler when the measured window opens and closes, in the protocol of perf's
// --control fifo:CTL,ACK option: "enable" and "disable" lines written to the control fifo,
// each answered by "ack" on the acknowledgement fifo. So perf counts or samples the window
// alone, without the preparation and the last round around it.

#include <string>

namespace vserver::loadgen {

class WindowControl {
public:
    WindowControl() = default;
    ~WindowControl();
    WindowControl(const WindowControl&) = delete;
    WindowControl& operator=(const WindowControl&) = delete;

    // fifos is "CTL" or "CTL,ACK". Waits up to 10 s for the profiler to open its end of the
    // control fifo; false with *error when it does not, or a fifo cannot be opened.
    bool Open(const std::string& fifos, std::string* error);
    // Sends command and waits up to 5 s for its acknowledgement (when there is an
    // acknowledgement fifo). Does nothing when no fifo was opened.
    void Send(const char* command);

private:
    int control_ = -1;
    int ack_ = -1;
};

} // namespace vserver::loadgen
