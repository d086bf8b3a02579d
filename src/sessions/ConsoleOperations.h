#pragma once
// What the administrator console does with the sessions: the logon lock, the count and list of
// sessions, and text messages and toolbar sets sent at once to a logged-on user.

#include <string>
#include <string_view>

namespace vserver::sessions { class Server; }

namespace vserver::sessions {

bool SetLogonLock(Server& server, int value);
int CountClients(const Server& server);
// The entries only: the request handler puts the result's leading mark in front.
std::string ListSessions(const Server& server);
bool SendTextMessage(Server& server, std::string_view account, std::string_view text);
bool SendToolbarSet(Server& server, std::string_view account, std::string_view toolbarSet);
// A directory search for ToolbarSet_<name>.vts in the users folder; the name may hold wildcards.
// See accounts::ToolbarSetExists.
bool ToolbarSetExists(const Server& server, std::string_view name);

} // namespace vserver::sessions
