#include "requests/OptionRequests.h"

#include <chrono>

#include "net/ServerCore.h"
#include "platform/Retry.h"
#include "settings/ServiceLog.h"

namespace vserver::requests {

void HandleKeepAlive(net::ServerCore&, RequestContext&) {}

void HandleReadOption(net::ServerCore& server, RequestContext& context) {
    context.result = server.config().ReadOption(std::string(context.request.argument1()),
                                                std::string(context.request.argument2()));
}

void HandleServerVersion(net::ServerCore& server, RequestContext& context) { context.result = server.serverVersion; }

void HandleReloadOptions(net::ServerCore& server, RequestContext& context) {
    server.LoadOptions(false);
    context.result = "True";
}

void HandleWriteOption(net::ServerCore& server, RequestContext& context) {
    // Another process (a registration, an administrator's tool) may hold the registry file's
    // lock; the write is then tried again by a timer while the loop serves everyone else.
    constexpr int kAttempts = 100;
    constexpr std::chrono::milliseconds kRetryDelay{50};
    context.end = RequestEnd::Later;
    const int index = context.index;
    const int id = context.request.id;
    const std::uint64_t serial = server.SerialAt(index);
    std::string name(context.request.argument1());
    std::string text(context.request.argument2());
    platform::RetryOnLoop(
        server.loop(), kAttempts, kRetryDelay,
        [&server, index, id, serial, name, text] {
            auto outcome = server.config().TryWriteOption(name, text);
            if (outcome == settings::ConfigStore::WriteOutcome::Busy) return false;
            bool written = outcome == settings::ConfigStore::WriteOutcome::Written;
            server.SendCompletion(index, id, 817, written ? "True" : "False", serial);
            return true;
        },
        [&server, index, id, serial, name] {
            settings::WriteServiceLog("Unable to write option " + name + " to " + server.config().registryName() +
                                      ": another process holds its lock");
            server.SendCompletion(index, id, 817, "False", serial);
        });
}

} // namespace vserver::requests
