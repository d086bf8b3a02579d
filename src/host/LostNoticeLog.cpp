#include "host/LostNoticeLog.h"

#include <string>

#include "settings/ServiceLog.h"
#include "wire/Fields.h"

namespace vserver::host {

LostNoticeLog::LostNoticeLog(platform::EventLoop& loop, std::chrono::milliseconds window) : loop_(loop), window_(window) {
    loop_.OnLostNotice([this] { Record(); });
}

LostNoticeLog::~LostNoticeLog() {
    loop_.OnLostNotice(nullptr);
    if (windowOpen_) loop_.CancelTimer(timer_);
    EndWindow();
}

// The first notice lost opens a window; none is open, and no timer runs, while nothing is lost.
void LostNoticeLog::Record() {
    ++counted_;
    if (windowOpen_) return;
    windowOpen_ = true;
    timer_ = loop_.AddTimer(window_, [this] { EndWindow(); });
}

void LostNoticeLog::EndWindow() {
    windowOpen_ = false;
    if (counted_ == 0) return;
    std::string line = "Readiness notices lost to a full message queue: ";
    wire::AppendNumber(line, static_cast<long long>(counted_));
    line += "; every socket was asked again instead";
    settings::WriteServiceLog(line);
    counted_ = 0;
}

} // namespace vserver::host
