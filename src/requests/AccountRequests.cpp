#include "requests/AccountRequests.h"

#include <functional>
#include <memory>

#include "accounts/AccountStore.h"
#include "accounts/Listings.h"
#include "accounts/Preferences.h"
#include "accounts/Queues.h"
#include "sessions/Server.h"
#include "settings/ServiceLog.h"
#include "wire/Fields.h"
#include "wire/Reply.h"

namespace vserver::requests {

namespace {

const char* TrueOrFalse(bool value) { return value ? "True" : "False"; }

// Starts a collection whose completion is sent when it ends, which may be after a few retries
// while another process holds the queue file. By then the requester may have gone, and its
// index may even belong to a newer connection (its serial tells); the answer is then not sent
// and the items stay queued. Sent items leave the queue once the client shows it read them.
void CollectInto(sessions::Server& server, RequestContext& context, const std::string& queuePath) {
    context.end = RequestEnd::Later;
    const int index = context.index;
    const int id = context.request.id;
    const int type = context.request.type;
    const std::uint64_t serial = server.net().SerialAt(index);
    QueueDeliveries& queues = context.queues;
    accounts::QueueBook& book = queues.BookFor(queuePath);
    accounts::CollectQueuedItems(
        server.loop(), book, std::string(context.request.account()),
        [&server, &queues, &book, index, id, type, serial](std::string result, accounts::DeliveryId delivery) {
            if (server.net().SerialAt(index) != serial) return accounts::Handout::RequesterGone;
            server.net().SendCompletion(index, id, type, result, serial);
            // No reply is due for an id of 0 or less; the items are then taken as delivered.
            if (id <= 0) return accounts::Handout::NoReplyDue;
            // Sending closes a connection that stopped reading its replies.
            if (server.net().SerialAt(index) != serial) return accounts::Handout::RequesterGone;
            if (delivery != 0) queues.AwaitRead(index, book, delivery);
            return accounts::Handout::AwaitingRead;
        },
        &server.syncs());
}

// With ConsoleOnlySharedFiles, a connection other than the console's writes only inside the
// home folder of the account it is logged on as: the master preference file, the toolbar set
// files and other accounts' files are everyone's, and one client must not change them for all.
// The rule is asked with the file the write then goes to, every link on the way followed, so
// it judges where a path leads, not how it is spelled: a link in the home folder that leads
// back up cannot carry a write out of it. Who asks is fixed when the request comes in. No
// rule is needed for the console, or without the option.
accounts::PreferenceWriteRule SharedFilesRule(sessions::Server& server, int index) {
    if (!server.access.consoleOnlySharedFiles) return {};
    const net::ConnectionRecord* record = server.net().FindRecordByIndex(index);
    if (record == nullptr) return [](const std::string&) { return false; };
    if (record->clientKind == wire::ClientKind::Console) return {};
    const bool loggedOn = record->clientKind != wire::ClientKind::NotLoggedOn;
    return [users = server.usersFolder, account = record->accountName, loggedOn, index](const std::string& leadsTo) {
        if (loggedOn && accounts::IsInHomeFolder(users, account, leadsTo)) return true;
        std::string line = "Preference write refused, only the console's connection may write outside its own home "
                           "folder: connection index ";
        wire::AppendNumber(line, index);
        line += " (" + account + "), file " + leadsTo;
        settings::WriteServiceLog(line);
        return false;
    };
}

// A request that ends later: its completion keeps its place among the connection's replies.
// Unless the request lets its connection run on, the connection's later requests wait for it
// too, as they must while what it does is not yet in place (a staged replacement or a new
// account is moved into place only once it is synced).
class EndLater {
public:
    enum class Input { Held, RunsOn };
    EndLater(sessions::Server& server, RequestContext& context, Input input)
        : state_(std::make_shared<State>(State{server, context.request.id, context.request.type,
                                               server.net().ReserveReply(context.index, input == Input::Held)})) {
        context.end = RequestEnd::Later;
    }
    void operator()(std::string_view result) const {
        state_->server.net().FinishLaterReply(state_->reply, state_->id, state_->type, result);
    }

private:
    struct State {
        sessions::Server& server;
        int id;
        int type;
        net::Network::LaterReply reply;
    };
    std::shared_ptr<State> state_;
};

EndLater FinishLater(sessions::Server& server, RequestContext& context) {
    return EndLater(server, context, EndLater::Input::Held);
}

// The completion of a queued item says "True" only once the item is on disk. Meanwhile the
// connection's next requests go on (a console queues many items at once, and they share their
// syncs); a collection of the queue among them still finds the item.
void QueueDurably(sessions::Server& server, RequestContext& context, const std::string& queuePath) {
    const wire::Request& r = context.request;
    accounts::QueueItem(server.loop(), server.syncs(), context.queues.BookFor(queuePath), r.argument1(), r.argument2(),
                        [finish = EndLater(server, context, EndLater::Input::RunsOn)](bool stored) {
                            finish(TrueOrFalse(stored));
                        });
}

// The completion of an account's creation says "True" only once the account is on disk.
void CreateDurably(sessions::Server& server, RequestContext& context, std::string_view name) {
    accounts::CreateAccount(server.syncs(), server.usersFolder, name,
                            [finish = FinishLater(server, context)](bool created) { finish(TrueOrFalse(created)); });
}

} // namespace

void HandleListAccounts(sessions::Server& server, RequestContext& context) {
    context.result = accounts::ListAccounts(server.usersFolder);
}

void HandleCreateOwnAccount(sessions::Server& server, RequestContext& context) {
    if (!server.allowAccountCreation) {
        context.result = "False";
        return;
    }
    CreateDurably(server, context, context.request.account());
}

void HandleReadPreferences(sessions::Server& server, RequestContext& context) {
    const wire::Request& r = context.request;
    std::string body = accounts::ReadPreferences(server.usersFolder, r.account(), r.argument1(), r.argument2());
    wire::Reply reply;
    server.net().SendToIndex(reply.PreferenceValues(r.id, body).text(), context.index);
    context.end = RequestEnd::NoReply;
}

void HandleWritePreferences(sessions::Server& server, RequestContext& context) {
    const wire::Request& r = context.request;
    accounts::PreferenceWriteRule mayWrite = SharedFilesRule(server, context.index);
    // The completion goes out once the values are on disk.
    accounts::WritePreferences(server.syncs(), server.usersFolder, r.account(), r.argument1(), r.argument2(),
                               [finish = FinishLater(server, context)] { finish({}); }, std::move(mayWrite));
}

void HandleListToolbarSets(sessions::Server& server, RequestContext& context) {
    wire::Reply reply;
    reply.Answer(context.request.id, wire::RequestType::ListToolbarSets, accounts::ListToolbarSets(server.usersFolder));
    server.net().SendToIndex(reply.text(), context.index);
    context.end = RequestEnd::NoReply;
}

void HandleCollectUserMessages(sessions::Server& server, RequestContext& context) {
    CollectInto(server, context, server.userMessagesPath);
}

void HandleCollectToolbarSets(sessions::Server& server, RequestContext& context) {
    CollectInto(server, context, server.forcedToolbarSetsPath);
}

void HandleCreateAccount(sessions::Server& server, RequestContext& context) {
    CreateDurably(server, context, context.request.argument1());
}

void HandleDeleteAccount(sessions::Server& server, RequestContext& context) {
    accounts::DeleteAccount(server.syncs(), server.usersFolder, context.request.argument1(),
                            [finish = FinishLater(server, context)](bool deleted) { finish(TrueOrFalse(deleted)); });
}

void HandleQueueUserMessage(sessions::Server& server, RequestContext& context) {
    QueueDurably(server, context, server.userMessagesPath);
}

void HandleQueueToolbarSet(sessions::Server& server, RequestContext& context) {
    QueueDurably(server, context, server.forcedToolbarSetsPath);
}

} // namespace vserver::requests
