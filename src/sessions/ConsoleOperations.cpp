#include "sessions/ConsoleOperations.h"

#include "accounts/Listings.h"
#include "sessions/Server.h"
#include "settings/ServiceLog.h"
#include "wire/Fields.h"

namespace vserver::sessions {

namespace {

bool SendToAccount(Server& server, std::string_view account, std::string_view code, std::string_view text,
                   const char* unknownAccountText, const char* sendFailedText) {
    int index = server.net().connections.FindIndexByAccount(account);
    if (index < 1) {
        settings::WriteServiceLog(unknownAccountText);
        return false;
    }
    std::string message(code);
    message += wire::kFieldSeparator;
    message += text;
    if (!server.net().SendToIndex(message, index)) {
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
    for (const net::ConnectionRecord* r = server.net().connections.newest(); r != nullptr; r = r->older) {
        if (!list.empty()) list += wire::kSectionSeparator;
        list += r->accountName;
        list += wire::kFieldSeparator;
        if (r->clientKind == -1) {
            list += wire::kFieldSeparator;
            list += wire::kFieldSeparator;
            continue;
        }
        list += r->sessionLabel;
        list += wire::kFieldSeparator;
        wire::AppendNumber(list, r->clientKind);
        list += wire::kFieldSeparator;
        list += r->sessionDetail;
    }
    return list;
}

bool SendTextMessage(Server& server, std::string_view account, std::string_view text) {
    return SendToAccount(server, account, "200", text, "Attempt to send text message to unknown connection index",
                         "Unable to send text message to specified connection index");
}

bool SendToolbarSet(Server& server, std::string_view account, std::string_view toolbarSet) {
    return SendToAccount(server, account, "209", toolbarSet, "Attempt to send toolbar set to unknown connection index",
                         "Unable to send toolbar set to specified connection index");
}

bool ToolbarSetExists(const Server& server, std::string_view name) {
    return accounts::ToolbarSetExists(server.usersFolder, name);
}

} // namespace vserver::sessions
