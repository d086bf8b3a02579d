#pragma once
// Handlers of the requests that reach the account store: account listings, creation and
// deletion, preference values, toolbar set listing and the two queues.

#include "requests/Dispatcher.h"

namespace vserver::requests {

void HandleListAccounts(net::ServerCore& server, RequestContext& context);          // 100, 806
void HandleCreateOwnAccount(net::ServerCore& server, RequestContext& context);      // 102
void HandleReadPreferences(net::ServerCore& server, RequestContext& context);       // 201
void HandleWritePreferences(net::ServerCore& server, RequestContext& context);      // 203
void HandleListToolbarSets(net::ServerCore& server, RequestContext& context);       // 204
void HandleCollectUserMessages(net::ServerCore& server, RequestContext& context);   // 208
void HandleCollectToolbarSets(net::ServerCore& server, RequestContext& context);    // 210
void HandleCreateAccount(net::ServerCore& server, RequestContext& context);         // 807
void HandleDeleteAccount(net::ServerCore& server, RequestContext& context);         // 808
void HandleQueueUserMessage(net::ServerCore& server, RequestContext& context);      // 810
void HandleQueueToolbarSet(net::ServerCore& server, RequestContext& context);       // 812

} // namespace vserver::requests
