#pragma once
// Handlers of the requests that concern the server itself: the keep-alive, the server version
// and the named options.

#include "requests/Dispatcher.h"

namespace vserver::requests {

void HandleKeepAlive(net::ServerCore& server, RequestContext& context);        // 2
void HandleReadOption(net::ServerCore& server, RequestContext& context);       // 206
void HandleServerVersion(net::ServerCore& server, RequestContext& context);    // 207
void HandleReloadOptions(net::ServerCore& server, RequestContext& context);    // 809
void HandleWriteOption(net::ServerCore& server, RequestContext& context);      // 817

} // namespace vserver::requests
