#include "requests/OptionRequests.h"

#include "sessions/Server.h"
#include "wire/Protocol.h"

namespace vserver::requests {

void HandleKeepAlive(sessions::Server&, RequestContext&) {}

void HandleReadOption(sessions::Server& server, RequestContext& context) {
    context.result = server.config().ReadOption(std::string(context.request.argument1()),
                                                std::string(context.request.argument2()));
}

void HandleServerVersion(sessions::Server& server, RequestContext& context) { context.result = server.serverVersion; }

void HandleReloadOptions(sessions::Server& server, RequestContext& context) {
    server.LoadOptions(false);
    context.result = "True";
}

// The completion goes out once the value is on disk. By then the requester may have gone, and
// its index may even belong to a newer connection (its serial tells); nothing is sent then.
void HandleWriteOption(sessions::Server& server, RequestContext& context) {
    context.end = RequestEnd::Later;
    const int index = context.index;
    const int id = context.request.id;
    const std::uint64_t serial = server.net().SerialAt(index);
    server.optionWriter().Write(std::string(context.request.argument1()), std::string(context.request.argument2()),
                                [&server, index, id, serial](bool written) {
                                    server.net().SendCompletion(index, id, wire::RequestType::WriteOption,
                                                          written ? "True" : "False", serial);
                                });
}

} // namespace vserver::requests
