#pragma once
// Handlers of the session and console requests: logon, liveness answers, logoff, change of
// user, client events, and the console's lock, count, list, disconnect and sends.

#include "requests/Dispatcher.h"

namespace vserver::requests {

void HandleLivenessAnswer(net::ServerCore& server, RequestContext& context);   // 1
void HandleClientEvent(net::ServerCore& server, RequestContext& context);      // 3
void HandleLogon(net::ServerCore& server, RequestContext& context);            // 101
void HandleLogoff(net::ServerCore& server, RequestContext& context);           // 103
void HandleChangeUser(net::ServerCore& server, RequestContext& context);       // 104
void HandleToolbarSetExists(net::ServerCore& server, RequestContext& context);  // 205
void HandleSetLogonLock(net::ServerCore& server, RequestContext& context);     // 800
void HandleIsLogonLocked(net::ServerCore& server, RequestContext& context);    // 801
void HandleCountClients(net::ServerCore& server, RequestContext& context);     // 802
void HandleListSessions(net::ServerCore& server, RequestContext& context);     // 803
void HandleDisconnectUser(net::ServerCore& server, RequestContext& context);   // 804
void HandleSendTextMessage(net::ServerCore& server, RequestContext& context);  // 805
void HandleSendToolbarSet(net::ServerCore& server, RequestContext& context);   // 811

} // namespace vserver::requests
