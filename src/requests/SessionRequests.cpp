#include "requests/SessionRequests.h"

#include "sessions/Server.h"
#include "platform/NetAddress.h"
#include "sessions/ConsoleOperations.h"
#include "sessions/LivenessChecks.h"
#include "sessions/Sessions.h"
#include "sessions/Statistics.h"
#include "settings/ServiceLog.h"
#include "wire/Fields.h"

namespace vserver::requests {

using namespace vserver::sessions;
using settings::WriteServiceLog;

namespace {

constexpr int kConsoleKind = 5;
constexpr int kUncheckedKind = 4;

const char* TrueOrFalse(bool value) { return value ? "True" : "False"; }

// "1", id, type, code: the refusal of a logon or change of user, sent whatever the id. The
// serial keeps a refusal that comes after a wait from reaching a newer connection.
void SendRefusal(sessions::Server& server, int index, std::uint64_t serial, int id, const char* type, int code,
                 bool withVersion = false) {
    std::string reply = "1";
    reply += wire::kFieldSeparator;
    wire::AppendNumber(reply, id);
    reply += wire::kFieldSeparator;
    reply += type;
    reply += wire::kFieldSeparator;
    wire::AppendNumber(reply, code);
    if (withVersion) {
        reply += wire::kFieldSeparator;
        reply += wire::kSectionSeparator;
        reply += server.serverVersion;
    }
    server.net().SendToIndex(reply, index, serial);
}

// The positions a logon needs after a wait, copied out of the request text.
struct LogonRequest {
    int index;
    std::uint64_t serial;
    int id;
    int kind;
    std::string account;
    std::string label;
    std::string detail;
};

// After a wait the requester may have gone and its index may have been handed to a newer
// connection; that one must not be logged on in its place.
void FinishLogon(sessions::Server& server, const LogonRequest& logon) {
    int index = server.net().SerialAt(logon.index) == logon.serial ? logon.index : 0;
    if (!RecordLogon(server, index, logon.account, logon.kind, logon.label, logon.detail)) return;
    if (logon.kind != kConsoleKind) WriteStatisticsLine(server, logon.account, logon.label, "101", "");
    server.net().SendCompletion(logon.index, logon.id, 101, "", logon.serial);
}

} // namespace

void HandleLivenessAnswer(sessions::Server&, RequestContext& context) {
    context.liveness.OnAnswer(context.index);
    context.end = RequestEnd::NoReply;
}

void HandleClientEvent(sessions::Server& server, RequestContext& context) {
    const auto& r = context.request;
    WriteStatisticsLine(server, r.account(), r.label(), r.argument1(), r.argument2());
}

void HandleLogon(sessions::Server& server, RequestContext& context) {
    const auto& r = context.request;
    context.end = RequestEnd::NoReply;
    LogonRequest logon{context.index, server.net().SerialAt(context.index), r.id, r.clientKind(), std::string(r.account()), std::string(r.label()),
                       std::string(r.sessionDetail())};
    if (r.clientVersion() != server.serverVersion) {
        SendRefusal(server, logon.index, logon.serial, logon.id, "101", 6, true);
        return;
    }
    if (logon.kind == kConsoleKind) {
        // Rules that could not be read at the start may be readable now; no console could send
        // the reload request until they are.
        if (!server.closedAccessRules.empty()) server.LoadOptions(false);
        // Code 5 is a refusal every console already reports, and one it never otherwise gets.
        if (const net::ConnectionRecord* record = server.net().FindRecordByIndex(logon.index);
            record != nullptr && !record->consoleAddressAllowed) {
            const char* reason = server.closedAccessRules.empty() ? ", the address is not in Options\\ConsoleAddresses"
                                                                  : ", the access rules could not be read since the start";
            WriteServiceLog("Console logon refused from " + platform::FormatNetAddress(record->peerAddress) + reason);
            SendRefusal(server, logon.index, logon.serial, logon.id, "101", 5);
            return;
        }
        if (server.net().IsConsolePresent()) {
            SendRefusal(server, logon.index, logon.serial, logon.id, "101", 2);
            return;
        }
        FinishLogon(server, logon);
        return;
    }
    if (server.logonsLocked) {
        SendRefusal(server, logon.index, logon.serial, logon.id, "101", 5);
        return;
    }
    if (logon.kind == kUncheckedKind) {
        FinishLogon(server, logon);
        return;
    }
    if (!AccountExists(server, logon.account)) {
        SendRefusal(server, logon.index, logon.serial, logon.id, "101", 1);
        return;
    }
    context.end = RequestEnd::Later;
    IsLoggedOnAndAlive(context.liveness, logon.account, [&server, logon](bool alive) {
        if (alive) {
            SendRefusal(server, logon.index, logon.serial, logon.id, "101", 2);
            return;
        }
        FinishLogon(server, logon);
    });
}

void HandleLogoff(sessions::Server& server, RequestContext& context) {
    const auto& r = context.request;
    server.net().CloseIndex(context.index);
    WriteStatisticsLine(server, r.account(), r.label(), "103", "");
}

void HandleChangeUser(sessions::Server& server, RequestContext& context) {
    const auto& r = context.request;
    context.end = RequestEnd::Later;
    int index = context.index;
    std::uint64_t serial = server.net().SerialAt(index);
    int id = r.id;
    std::string current(r.account());
    std::string next(r.argument1());
    auto refuse = [&server, index, serial, id](int code) { SendRefusal(server, index, serial, id, "104", code); };
    sessions::LivenessChecks& checks = context.liveness;
    IsLoggedOnAndAlive(checks, current, [&server, &checks, index, serial, id, current, next, refuse](bool currentAlive) {
        if (!currentAlive) {
            refuse(3);
            return;
        }
        if (!AccountExists(server, next)) {
            refuse(1);
            return;
        }
        IsLoggedOnAndAlive(checks, next, [&server, index, serial, id, current, next, refuse](bool nextAlive) {
            if (nextAlive) {
                refuse(2);
                return;
            }
            ChangeUser(server, current, next);
            server.net().SendCompletion(index, id, 104, "", serial);
        });
    });
}

void HandleToolbarSetExists(sessions::Server& server, RequestContext& context) {
    const auto& r = context.request;
    std::string reply = "1";
    reply += wire::kFieldSeparator;
    wire::AppendNumber(reply, r.id);
    reply += wire::kFieldSeparator;
    reply += "205";
    reply += wire::kFieldSeparator;
    reply += TrueOrFalse(ToolbarSetExists(server, r.argument1()));
    server.net().SendToIndex(reply, context.index);
    context.end = RequestEnd::NoReply;
}

void HandleSetLogonLock(sessions::Server& server, RequestContext& context) {
    context.result = TrueOrFalse(SetLogonLock(server, wire::ReadNumber(context.request.argument1())));
}

void HandleIsLogonLocked(sessions::Server& server, RequestContext& context) {
    context.result = TrueOrFalse(server.logonsLocked);
}

void HandleCountClients(sessions::Server& server, RequestContext& context) {
    wire::AppendNumber(context.result, CountClients(server));
}

void HandleListSessions(sessions::Server& server, RequestContext& context) {
    context.result = wire::kItemSeparator;
    context.result += ListSessions(server);
}

void HandleDisconnectUser(sessions::Server& server, RequestContext& context) {
    context.result = TrueOrFalse(DisconnectUser(server, context.request.argument1()));
}

void HandleSendTextMessage(sessions::Server& server, RequestContext& context) {
    const auto& r = context.request;
    context.result = TrueOrFalse(SendTextMessage(server, r.argument1(), r.argument2()));
}

void HandleSendToolbarSet(sessions::Server& server, RequestContext& context) {
    const auto& r = context.request;
    context.result = TrueOrFalse(SendToolbarSet(server, r.argument1(), r.argument2()));
}

} // namespace vserver::requests
