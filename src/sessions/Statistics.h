#pragma once
// The usage statistics file: one tab-separated line per logon, logoff, disconnect, change of
// user and client event, appended to EventLog.log in the users folder while the option is on.

#include <string_view>

namespace vserver::net { class ServerCore; }

namespace vserver::sessions {

inline constexpr std::string_view kConsoleAccountName = "<Service Administrator Console>";

// True when the line was written or is not to be written; false when the append failed (the
// line then goes to the service log).
bool WriteStatisticsLine(net::ServerCore& server, std::string_view account, std::string_view label,
                         std::string_view event, std::string_view detail);

} // namespace vserver::sessions
