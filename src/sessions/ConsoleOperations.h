#pragma once
// What the administrator console does with the sessions: the logon lock, the count and list of
// sessions, and text messages and toolbar sets sent at once to a logged-on user.

#include <string>
#include <string_view>

namespace vserver::net { class ServerCore; }

namespace vserver::sessions {

bool SetLogonLock(net::ServerCore& server, int value);
int CountClients(const net::ServerCore& server);
// The entries only: the request handler puts the result's leading mark in front.
std::string ListSessions(const net::ServerCore& server);
bool SendTextMessage(net::ServerCore& server, std::string_view account, std::string_view text);
bool SendToolbarSet(net::ServerCore& server, std::string_view account, std::string_view toolbarSet);
// A directory search for ToolbarSet_<name>.vts in the users folder; the name may hold wildcards.
// See accounts::ToolbarSetExists.
bool ToolbarSetExists(const net::ServerCore& server, std::string_view name);

} // namespace vserver::sessions
