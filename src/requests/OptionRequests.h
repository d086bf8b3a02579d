#pragma once
// Handlers of the requests that concern the server itself: the keep-alive, the server version
// and the named options.

#include "requests/Dispatcher.h"

namespace vserver::requests {

void HandleKeepAlive(sessions::Server& server, RequestContext& context);        // 2
void HandleReadOption(sessions::Server& server, RequestContext& context);       // 206
void HandleServerVersion(sessions::Server& server, RequestContext& context);    // 207
void HandleReloadOptions(sessions::Server& server, RequestContext& context);    // 809
void HandleWriteOption(sessions::Server& server, RequestContext& context);      // 817

} // namespace vserver::requests
