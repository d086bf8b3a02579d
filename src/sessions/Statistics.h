#pragma once
// The usage statistics file: one tab-separated line per logon, logoff, disconnect, change of
// user and client event, appended to EventLog.log in the users folder while the option is on.

#include <string_view>

namespace vserver::sessions { class Server; }

namespace vserver::sessions {

inline constexpr std::string_view kConsoleAccountName = "<Service Administrator Console>";

// The lines of one turn of the loop go to the file together at the end of the turn, before
// that turn's replies, so a client's event is in the file when the client has its answer.
// False when the line was written at once (no turn running) and the append failed; a failure
// at the end of a turn is reported in the service log as well, with each line it lost.
bool WriteStatisticsLine(Server& server, std::string_view account, std::string_view label,
                         std::string_view event, std::string_view detail);

} // namespace vserver::sessions
