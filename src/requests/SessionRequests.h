#pragma once
// Handlers of the session and console requests: logon, liveness answers, logoff, change of
// user, client events, and the console's lock, count, list, disconnect and sends.

#include "requests/Dispatcher.h"

namespace vserver::requests {

void HandleLivenessAnswer(sessions::Server& server, RequestContext& context);   // 1
void HandleClientEvent(sessions::Server& server, RequestContext& context);      // 3
void HandleLogon(sessions::Server& server, RequestContext& context);            // 101
void HandleLogoff(sessions::Server& server, RequestContext& context);           // 103
void HandleChangeUser(sessions::Server& server, RequestContext& context);       // 104
void HandleToolbarSetExists(sessions::Server& server, RequestContext& context);  // 205
void HandleSetLogonLock(sessions::Server& server, RequestContext& context);     // 800
void HandleIsLogonLocked(sessions::Server& server, RequestContext& context);    // 801
void HandleCountClients(sessions::Server& server, RequestContext& context);     // 802
void HandleListSessions(sessions::Server& server, RequestContext& context);     // 803
void HandleDisconnectUser(sessions::Server& server, RequestContext& context);   // 804
void HandleSendTextMessage(sessions::Server& server, RequestContext& context);  // 805
void HandleSendToolbarSet(sessions::Server& server, RequestContext& context);   // 811

} // namespace vserver::requests
