#include "requests/SessionRequests.h"

#include "sessions/Server.h"
#include "platform/common/NetAddress.h"
#include "sessions/ConsoleOperations.h"
#include "sessions/LivenessChecks.h"
#include "sessions/Sessions.h"
#include "sessions/Statistics.h"
#include "settings/ServiceLog.h"
#include "sessions/StatisticsLine.h"
#include "wire/Fields.h"
#include "wire/Reply.h"

namespace vserver::requests {

using namespace vserver::sessions;
using settings::WriteServiceLog;

namespace {

using wire::ClientKind;
using wire::RefusalCode;
using wire::RequestType;

const char* TrueOrFalse(bool value) { return value ? "True" : "False"; }

// The refusal of a logon or change of user, sent whatever the id. The serial keeps a refusal
// that comes after a wait from reaching a newer connection.
void SendRefusal(sessions::Server& server, int index, std::uint64_t serial, int id, RequestType type,
                 RefusalCode code) {
    wire::Reply reply;
    server.net().SendToIndex(reply.Refusal(id, type, code).text(), index, serial);
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
    if (logon.kind != ClientKind::Console) WriteStatisticsLine(server, logon.account, logon.label, kLogonEvent, "");
    server.net().SendCompletion(logon.index, logon.id, RequestType::Logon, "", logon.serial);
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
        wire::Reply reply;
        server.net().SendToIndex(reply.VersionRefusal(logon.id, server.serverVersion).text(), logon.index, logon.serial);
        return;
    }
    if (logon.kind == ClientKind::Console) {
        // Rules that could not be read at the start may be readable now; no console could send
        // the reload request until they are.
        if (!server.closedAccessRules.empty()) server.LoadOptions(false);
        // Code 5 is a refusal every console already reports, and one it never otherwise gets.
        if (const net::ConnectionRecord* record = server.net().FindRecordByIndex(logon.index);
            record != nullptr && !record->consoleAddressAllowed) {
            const char* reason = server.closedAccessRules.empty() ? ", the address is not in Options\\ConsoleAddresses"
                                                                  : ", the access rules could not be read since the start";
            WriteServiceLog("Console logon refused from " + platform::FormatNetAddress(record->peerAddress) + reason);
            SendRefusal(server, logon.index, logon.serial, logon.id, RequestType::Logon, RefusalCode::LogonsLocked);
            return;
        }
        if (server.net().IsConsolePresent()) {
            SendRefusal(server, logon.index, logon.serial, logon.id, RequestType::Logon, RefusalCode::SessionAlive);
            return;
        }
        FinishLogon(server, logon);
        return;
    }
    if (server.logonsLocked) {
        SendRefusal(server, logon.index, logon.serial, logon.id, RequestType::Logon, RefusalCode::LogonsLocked);
        return;
    }
    if (logon.kind == ClientKind::Unchecked) {
        FinishLogon(server, logon);
        return;
    }
    if (!AccountExists(server, logon.account)) {
        SendRefusal(server, logon.index, logon.serial, logon.id, RequestType::Logon, RefusalCode::NoHomeFolder);
        return;
    }
    context.end = RequestEnd::Later;
    IsLoggedOnAndAlive(context.liveness, logon.account, [&server, logon](bool alive) {
        if (alive) {
            SendRefusal(server, logon.index, logon.serial, logon.id, RequestType::Logon, RefusalCode::SessionAlive);
            return;
        }
        FinishLogon(server, logon);
    });
}

void HandleLogoff(sessions::Server& server, RequestContext& context) {
    const auto& r = context.request;
    server.net().CloseIndex(context.index);
    WriteStatisticsLine(server, r.account(), r.label(), kLogoffEvent, "");
}

void HandleChangeUser(sessions::Server& server, RequestContext& context) {
    const auto& r = context.request;
    context.end = RequestEnd::Later;
    int index = context.index;
    std::uint64_t serial = server.net().SerialAt(index);
    int id = r.id;
    std::string current(r.account());
    std::string next(r.argument1());
    auto refuse = [&server, index, serial, id](RefusalCode code) {
        SendRefusal(server, index, serial, id, RequestType::ChangeUser, code);
    };
    sessions::LivenessChecks& checks = context.liveness;
    IsLoggedOnAndAlive(checks, current, [&server, &checks, index, serial, id, current, next, refuse](bool currentAlive) {
        if (!currentAlive) {
            refuse(RefusalCode::NoLiveSession);
            return;
        }
        if (!AccountExists(server, next)) {
            refuse(RefusalCode::NoHomeFolder);
            return;
        }
        IsLoggedOnAndAlive(checks, next, [&server, index, serial, id, current, next, refuse](bool nextAlive) {
            if (nextAlive) {
                refuse(RefusalCode::SessionAlive);
                return;
            }
            ChangeUser(server, current, next);
            server.net().SendCompletion(index, id, RequestType::ChangeUser, "", serial);
        });
    });
}

void HandleToolbarSetExists(sessions::Server& server, RequestContext& context) {
    const auto& r = context.request;
    wire::Reply reply;
    reply.Answer(r.id, RequestType::ToolbarSetExists, TrueOrFalse(ToolbarSetExists(server, r.argument1())));
    server.net().SendToIndex(reply.text(), context.index);
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
    wire::StartSessionListResult(context.result);
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
