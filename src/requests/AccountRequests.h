#pragma once
// Handlers of the requests that reach the account store: account listings, creation and
// deletion, preference values, toolbar set listing and the two queues.

#include "requests/Dispatcher.h"

namespace vserver::requests {

void HandleListAccounts(sessions::Server& server, RequestContext& context);          // 100, 806
void HandleCreateOwnAccount(sessions::Server& server, RequestContext& context);      // 102
void HandleReadPreferences(sessions::Server& server, RequestContext& context);       // 201
void HandleWritePreferences(sessions::Server& server, RequestContext& context);      // 203
void HandleListToolbarSets(sessions::Server& server, RequestContext& context);       // 204
void HandleCollectUserMessages(sessions::Server& server, RequestContext& context);   // 208
void HandleCollectToolbarSets(sessions::Server& server, RequestContext& context);    // 210
void HandleCreateAccount(sessions::Server& server, RequestContext& context);         // 807
void HandleDeleteAccount(sessions::Server& server, RequestContext& context);         // 808
void HandleQueueUserMessage(sessions::Server& server, RequestContext& context);      // 810
void HandleQueueToolbarSet(sessions::Server& server, RequestContext& context);       // 812

} // namespace vserver::requests
