#include "requests/AccountRequests.h"

#include "accounts/AccountStore.h"
#include "accounts/Listings.h"
#include "accounts/Preferences.h"
#include "accounts/Queues.h"
#include "net/ServerCore.h"

namespace vserver::requests {

namespace {

const char* TrueOrFalse(bool value) { return value ? "True" : "False"; }

// Starts a collection whose completion is sent when it ends, which may be after a few retries
// while another process holds the queue file. By then the requester may have gone, and its
// index may even belong to a newer connection (its serial tells); the answer is then not sent
// and the items stay queued. They are removed only once the reply is in the socket.
void CollectInto(net::ServerCore& server, RequestContext& context, const std::string& queuePath) {
    context.end = RequestEnd::Later;
    const int index = context.index;
    const int id = context.request.id;
    const int type = context.request.type;
    const std::uint64_t serial = server.SerialAt(index);
    // No reply is due for an id of 0 or less; the items are then taken as delivered.
    auto handover = [&server, index, id, serial] {
        if (id <= 0 || server.RepliesHandedOver(index, serial)) return accounts::Handover::Transmitted;
        return server.SerialAt(index) == serial ? accounts::Handover::Pending : accounts::Handover::Failed;
    };
    accounts::CollectQueuedItems(
        server.loop(), queuePath, std::string(context.request.account()),
        [&server, index, id, type, serial, handover](std::string result) {
            server.SendCompletion(index, id, type, result, serial);
            return handover();
        },
        handover);
}

} // namespace

void HandleListAccounts(net::ServerCore& server, RequestContext& context) {
    context.result = accounts::ListAccounts(server.usersFolder);
}

void HandleCreateOwnAccount(net::ServerCore& server, RequestContext& context) {
    if (!server.allowAccountCreation) {
        context.result = "False";
        return;
    }
    context.result = TrueOrFalse(accounts::CreateAccount(server.usersFolder, context.request.account()));
}

void HandleReadPreferences(net::ServerCore& server, RequestContext& context) {
    const wire::Request& r = context.request;
    std::string body = accounts::ReadPreferences(server.usersFolder, r.account(), r.argument1(), r.argument2());
    server.SendToIndex(accounts::PreferenceAnswer(r.id, body), context.index);
    context.end = RequestEnd::NoReply;
}

void HandleWritePreferences(net::ServerCore& server, RequestContext& context) {
    const wire::Request& r = context.request;
    (void)accounts::WritePreferences(server.usersFolder, r.account(), r.argument1(), r.argument2());
}

void HandleListToolbarSets(net::ServerCore& server, RequestContext& context) {
    std::string answer = "1";
    answer.push_back(wire::kFieldSeparator);
    wire::AppendNumber(answer, context.request.id);
    answer.push_back(wire::kFieldSeparator);
    answer.append("204");
    answer.push_back(wire::kFieldSeparator);
    answer.append(accounts::ListToolbarSets(server.usersFolder));
    server.SendToIndex(answer, context.index);
    context.end = RequestEnd::NoReply;
}

void HandleCollectUserMessages(net::ServerCore& server, RequestContext& context) {
    CollectInto(server, context, server.userMessagesPath);
}

void HandleCollectToolbarSets(net::ServerCore& server, RequestContext& context) {
    CollectInto(server, context, server.forcedToolbarSetsPath);
}

void HandleCreateAccount(net::ServerCore& server, RequestContext& context) {
    context.result = TrueOrFalse(accounts::CreateAccount(server.usersFolder, context.request.argument1()));
}

void HandleDeleteAccount(net::ServerCore& server, RequestContext& context) {
    context.result = TrueOrFalse(accounts::DeleteAccount(server.usersFolder, context.request.argument1()));
}

void HandleQueueUserMessage(net::ServerCore& server, RequestContext& context) {
    const wire::Request& r = context.request;
    context.result = TrueOrFalse(accounts::QueueItem(server.userMessagesPath, r.argument1(), r.argument2()));
}

void HandleQueueToolbarSet(net::ServerCore& server, RequestContext& context) {
    const wire::Request& r = context.request;
    context.result = TrueOrFalse(accounts::QueueItem(server.forcedToolbarSetsPath, r.argument1(), r.argument2()));
}

} // namespace vserver::requests
