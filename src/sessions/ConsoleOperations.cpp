#include "sessions/ConsoleOperations.h"

#include "accounts/Listings.h"
#include "sessions/Server.h"
#include "settings/ServiceLog.h"
#include "wire/Reply.h"

namespace vserver::sessions {

namespace {

bool SendToAccount(Server& server, std::string_view account, wire::MessageCode code, std::string_view text,
                   const char* unknownAccountText, const char* sendFailedText) {
    int index = server.net().connections.FindIndexByAccount(account);
    if (index < 1) {
        settings::WriteServiceLog(unknownAccountText);
        return false;
    }
    wire::Reply message;
    if (!server.net().SendToIndex(message.Notice(code, text).text(), index)) {
        settings::WriteServiceLog(sendFailedText);
        return false;
    }
    return true;
}

} // namespace

bool SetLogonLock(Server& server, int value) {
    server.logonsLocked = value != 0 && !server.net().HasOtherClients();
    return true;
}

int CountClients(const Server& server) {
    int count = static_cast<int>(server.net().connections.size());
    return server.net().IsConsolePresent() ? count - 1 : count;
}

std::string ListSessions(const Server& server) {
    std::string list;
    wire::ListWriter sessions(list);
    for (const net::ConnectionRecord* r = server.net().connections.newest(); r != nullptr; r = r->older) {
        sessions.Entry(r->accountName);
        // A connection that has not logged on shows its placeholder name and three empty parts.
        if (r->clientKind == wire::ClientKind::NotLoggedOn) {
            sessions.Part({}).Part({}).Part({});
            continue;
        }
        sessions.Part(r->sessionLabel).Number(r->clientKind).Part(r->sessionDetail);
    }
    return list;
}

bool SendTextMessage(Server& server, std::string_view account, std::string_view text) {
    return SendToAccount(server, account, wire::MessageCode::TextMessage, text,
                         "Attempt to send text message to unknown connection index",
                         "Unable to send text message to specified connection index");
}

bool SendToolbarSet(Server& server, std::string_view account, std::string_view toolbarSet) {
    return SendToAccount(server, account, wire::MessageCode::ToolbarSet, toolbarSet,
                         "Attempt to send toolbar set to unknown connection index",
                         "Unable to send toolbar set to specified connection index");
}

bool ToolbarSetExists(const Server& server, std::string_view name) {
    return accounts::ToolbarSetExists(server.usersFolder, name);
}

} // namespace vserver::sessions
