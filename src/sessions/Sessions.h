#pragma once
// Sessions over the connection table: writing a logon into a connection's record, finding
// sessions by account, the liveness round trip of a session, disconnecting it and moving it to
// another account.

#include <functional>
#include <string>
#include <string_view>

namespace vserver::sessions { class Server; }
namespace vserver::sessions { class LivenessChecks; }

namespace vserver::sessions {

bool RecordLogon(Server& server, int index, std::string_view account, int kind, std::string_view label,
                 std::string_view detail);
std::string SessionLabelOf(const Server& server, int index);
int CountConnections(const Server& server);
bool AccountExists(const Server& server, std::string_view account);

// Sends the disconnect notice, closes the connection and writes its "103" statistics line.
bool DisconnectUser(Server& server, std::string_view account);
bool ChangeUser(Server& server, std::string_view current, std::string_view next);

// Calls done(true) when a connection holds the account and answers the liveness check, else
// done(false) once no connection holds it; a holder that stays silent is disconnected and the
// next holder, if any, is checked in turn. done may run before this returns (no holder) or
// later, from the loop.
void IsLoggedOnAndAlive(LivenessChecks& checks, const std::string& account, std::function<void(bool)> done);

} // namespace vserver::sessions
