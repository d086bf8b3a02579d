#include "platform/EventLog.h"

#include <syslog.h>

#include <cstdio>

namespace vserver::platform {

void ReportSystemEvent(const char* source, std::string_view text) {
    // Opened and closed around each event, like an event source registered for one report:
    // nothing stays open between events.
    ::openlog(source, LOG_PID, LOG_DAEMON);
    ::syslog(LOG_INFO, "%.*s", static_cast<int>(text.size()), text.data());
    ::closelog();
}

void ReportSystemProblem(const char* source, SystemLogPriority priority, std::string_view text) {
    ::openlog(source, LOG_PID, LOG_DAEMON);
    ::syslog(priority == SystemLogPriority::Error ? LOG_ERR : LOG_WARNING, "%.*s", static_cast<int>(text.size()),
             text.data());
    ::closelog();
}

void ShowMessageBox(const char* caption, std::string_view text) {
    std::fprintf(stderr, "%s: %.*s\n", caption, static_cast<int>(text.size()), text.data());
    std::fflush(stderr);
}

void WriteStandardOutputLine(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

} // namespace vserver::platform
