#include "requests/OptionRequests.h"

#include "net/ServerCore.h"

namespace vserver::requests {

void HandleKeepAlive(net::ServerCore&, RequestContext&) {}

void HandleReadOption(net::ServerCore& server, RequestContext& context) {
    context.result = server.config().ReadOption(std::string(context.request.argument1()),
                                                std::string(context.request.argument2()));
}

void HandleServerVersion(net::ServerCore& server, RequestContext& context) { context.result = server.serverVersion; }

void HandleReloadOptions(net::ServerCore& server, RequestContext& context) {
    server.LoadOptionFlags();
    server.LoadAccessRules();
    context.result = "True";
}

void HandleWriteOption(net::ServerCore& server, RequestContext& context) {
    bool written = server.config().WriteOption(std::string(context.request.argument1()),
                                               std::string(context.request.argument2()));
    context.result = written ? "True" : "False";
}

} // namespace vserver::requests
