#include "sessions/Statistics.h"

#include "accounts/RecordFile.h"
#include "net/ServerCore.h"
#include "platform/Clock.h"
#include "settings/ServiceLog.h"

namespace vserver::sessions {

bool WriteStatisticsLine(net::ServerCore& server, std::string_view account, std::string_view label,
                         std::string_view event, std::string_view detail) {
    if (!server.logUserStatistics) return true;
    if (account.empty() || account == kConsoleAccountName) return true;
    platform::LocalTime now = platform::Now();
    std::string line = platform::FormatDate(now);
    line += '\t';
    line += platform::FormatTime(now);
    for (std::string_view column : {account, label, event, detail}) {
        line += '\t';
        line += column;
    }
    line += "\r\n";
    if (accounts::AppendRecord(line, server.eventLogPath)) return true;
    settings::WriteServiceLog("Unable to log student tracking data: " + line);
    return false;
}

} // namespace vserver::sessions
