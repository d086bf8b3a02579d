#include "sessions/Sessions.h"

#include "accounts/AccountStore.h"
#include "accounts/AccountTemporaries.h"
#include "sessions/Server.h"
#include "platform/Clock.h"
#include "sessions/LivenessChecks.h"
#include "sessions/Statistics.h"
#include "settings/ServiceLog.h"
#include "sessions/StatisticsLine.h"
#include "wire/Reply.h"

namespace vserver::sessions {

using settings::WriteServiceLog;

bool RecordLogon(Server& server, int index, std::string_view account, int kind, std::string_view label,
                 std::string_view detail) {
    net::ConnectionRecord* record = server.net().FindRecordByIndex(index);
    if (record == nullptr) {
        WriteServiceLog("Attempt to log on from an unknown connection index");
        return false;
    }
    server.net().connections.SetAccountName(*record, std::string(account));
    record->sessionLabel = label;
    server.net().connections.SetClientKind(*record, kind);
    record->sessionDetail = detail;
    record->logonTime = platform::Now();
    return true;
}

std::string SessionLabelOf(const Server& server, int index) {
    const net::ConnectionRecord* record = server.net().FindRecordByIndex(index);
    return record ? record->sessionLabel : std::string();
}

int CountConnections(const Server& server) { return static_cast<int>(server.net().connections.size()); }

bool AccountExists(const Server& server, std::string_view account) {
    // A folder that stands in for an account being made or removed is no account to log on to.
    if (accounts::IsAccountTemporary(account)) return false;
    return accounts::HomeFolderExists(server.usersFolder, account);
}

bool DisconnectUser(Server& server, std::string_view account) {
    int index = server.net().connections.FindIndexByAccount(account);
    if (index < 1) {
        WriteServiceLog("Attempt to disconnect unknown user account");
        return false;
    }
    std::string label = SessionLabelOf(server, index);
    wire::Reply notice;
    server.net().SendToIndex(notice.Notice(wire::MessageCode::DisconnectNotice, account).text(), index);
    bool closed = server.net().CloseIndex(index);
    WriteStatisticsLine(server, account, label, kLogoffEvent, "");
    return closed;
}

bool ChangeUser(Server& server, std::string_view current, std::string_view next) {
    int index = server.net().connections.FindIndexByAccount(current);
    net::ConnectionRecord* record = index < 1 ? nullptr : server.net().FindRecordByIndex(index);
    if (record == nullptr) {
        WriteServiceLog("Attempt to change user from unknown user account");
        return false;
    }
    std::string label = record->sessionLabel;
    server.net().connections.SetAccountName(*record, std::string(next));
    WriteStatisticsLine(server, current, label, kLogoffEvent, "");
    WriteStatisticsLine(server, next, label, kLogonEvent, "");
    return true;
}

void IsLoggedOnAndAlive(LivenessChecks& checks, const std::string& account, std::function<void(bool)> done) {
    Server& server = checks.server();
    int index = server.net().connections.FindIndexByAccount(account);
    if (index < 1) {
        done(false);
        return;
    }
    checks.Start(index, account, [&checks, &server, account, index, done = std::move(done)](LivenessOutcome outcome) mutable {
        if (outcome == LivenessOutcome::Answered) {
            done(true);
            return;
        }
        // A check without an answer ends the silent session. One that closed during the wait
        // is already gone, so its disconnect finds nobody and says so in the service log.
        const int holder = server.net().connections.FindIndexByAccount(account);
        if (holder == index || holder < 1) DisconnectUser(server, account);
        // Other checks run side by side, so another connection may have taken the account
        // during the wait (a second logon that waited on the same silent session): that
        // holder is checked in turn, and only an account nobody holds counts as free.
        IsLoggedOnAndAlive(checks, account, std::move(done));
    });
}

} // namespace vserver::sessions
