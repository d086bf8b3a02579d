#include "loadgen/MorningPlan.h"

#include "client/ProtocolClient.h"

namespace vserver::loadgen::morning {

using wire::RequestType;

namespace {

using client::EncodeMessage;
using client::EncodeRequest;
using client::Request;

constexpr int kWorkstationKind = 1;
constexpr int kConsoleKind = 5;
constexpr const char* kVersion = "9.0";
constexpr const char* kConsoleAccount = "<Service Administrator Console>";
constexpr const char* kConsoleLabel = "Office";
constexpr const char* kConsoleDetail = "console";
constexpr const char* kOlderLabel = "Library";

struct ClientEvent {
    const char* name;
    const char* detail;   // "#" stands for the account's number
};
constexpr std::array<ClientEvent, 3> kEvents = {{{"BookOpened", "Book #"}, {"PageTurned", "Page 1"}, {"ToolUsed", "Highlighter"}}};

// Thirty workstations to a room, as the session list shows them.
std::string RoomOf(int account) { return "Room " + std::to_string(1 + account / 30); }
std::string WorkstationDetail(int account) { return "PC-" + std::to_string(account); }
std::string OlderDetail(int account) { return "LIB-" + std::to_string(account); }

std::string EventDetail(const ClientEvent& event, int account) {
    std::string detail = event.detail;
    if (std::size_t at = detail.find('#'); at != std::string::npos) detail.replace(at, 1, std::to_string(account));
    return detail;
}

Request Numbered(long long id, int type) {
    Request request;
    request.id = id;
    request.type = type;
    return request;
}

Request WorkstationBase(std::string_view prefix, int account, int step, int type) {
    Request request = Numbered(step + 1, type);
    request.label = RoomOf(account);
    request.account = AccountName(prefix, account);
    return request;
}

std::string ReadArgument(const ReadItem& item) {
    return std::string(item.key) + client::kItemSeparator + item.section + client::kItemSeparator + item.fallback;
}

std::string Logon(std::string_view account, std::string_view label, int kind, std::string_view detail) {
    Request logon = Numbered(1, RequestType::Logon);
    logon.account = std::string(account);
    logon.label = std::string(label);
    logon.clientKind = kind;
    logon.version = kVersion;
    logon.detail = std::string(detail);
    return EncodeRequest(logon);
}

std::string Entry(std::string_view account, std::string_view label, int kind, std::string_view detail) {
    std::string kindText = std::to_string(kind);
    return std::string(account) + client::kFieldSeparator + std::string(label) + client::kFieldSeparator + kindText +
           client::kFieldSeparator + std::string(detail);
}

} // namespace

const char* KindName(Kind kind) {
    static constexpr std::array<const char*, kKinds> kNames = {
        "101 logon", "201 read", "208 messages", "210 toolbar sets", "203 write", "3 event",
        "208 last", "2 confirm", "810 queue", "803 sessions"};
    return kNames[static_cast<std::size_t>(kind)];
}

Kind KindOfStep(int step) {
    static constexpr std::array<Kind, kAllSteps> kSteps = {
        Kind::Logon, Kind::Read, Kind::Read, Kind::Read, Kind::Read, Kind::Read, Kind::CollectMessages,
        Kind::CollectToolbarSets, Kind::Write, Kind::Event, Kind::Event, Kind::Event, Kind::LastCollect, Kind::Confirm};
    return kSteps[static_cast<std::size_t>(step)];
}

std::string AccountName(std::string_view prefix, int account) { return std::string(prefix) + std::to_string(account); }

std::string WorkstationRequest(const Expectations& plan, int account, int step) {
    const std::string& prefix = plan.prefix;
    switch (KindOfStep(step)) {
    case Kind::Logon: return Logon(AccountName(prefix, account), RoomOf(account), kWorkstationKind, WorkstationDetail(account));
    case Kind::Read: {
        Request read = WorkstationBase(prefix, account, step, RequestType::ReadPreferences);
        read.argument2 = ReadArgument(kReadItems[static_cast<std::size_t>(step - 1)]);
        return EncodeRequest(read);
    }
    case Kind::CollectMessages:
    case Kind::LastCollect: return EncodeRequest(WorkstationBase(prefix, account, step, RequestType::CollectUserMessages));
    case Kind::CollectToolbarSets: return EncodeRequest(WorkstationBase(prefix, account, step, RequestType::CollectToolbarSets));
    case Kind::Write: {
        Request write = WorkstationBase(prefix, account, step, RequestType::WritePreferences);
        write.argument2 = std::string("LastLogon") + client::kItemSeparator + "General" + client::kItemSeparator +
                          "Morning " + std::to_string(account);
        return EncodeRequest(write);
    }
    case Kind::Event: {
        const ClientEvent& event = kEvents[static_cast<std::size_t>(step - 9)];
        Request report = WorkstationBase(prefix, account, step, RequestType::ClientEvent);
        report.argument1 = event.name;
        report.argument2 = EventDetail(event, account);
        return EncodeRequest(report);
    }
    case Kind::Confirm: return EncodeRequest(WorkstationBase(prefix, account, step, RequestType::KeepAlive));
    case Kind::Queue:
    case Kind::List:
    case Kind::Count: break;
    }
    return {};
}

std::string WorkstationReply(const Expectations& plan, int account, int step) {
    std::string id = std::to_string(step + 1);
    switch (KindOfStep(step)) {
    case Kind::Logon: return LogonRefused(account) ? EncodeMessage({"1", id, "101", "2"}) : ShortReply(step + 1);
    case Kind::Read: {
        const ReadItem& item = kReadItems[static_cast<std::size_t>(step - 1)];
        const std::string& value = plan.values[static_cast<std::size_t>(account)][static_cast<std::size_t>(step - 1)];
        return EncodeMessage({"202", id, std::string(item.key) + client::kItemSeparator + value});
    }
    case Kind::CollectToolbarSets:
        return CollectionReplyHead(step) + plan.toolbarSets[static_cast<std::size_t>(account)] + client::kMessageEnd + '\n';
    default: return ShortReply(step + 1);
    }
}

std::string CollectionReplyHead(int step) {
    const char* type = KindOfStep(step) == Kind::CollectToolbarSets ? "210" : "208";
    std::string head = EncodeMessage({"1", std::to_string(step + 1), type, ""});
    return head.substr(0, head.size() - 2);
}

std::string OlderSessionLogon(std::string_view prefix, int account) {
    return Logon(AccountName(prefix, account), kOlderLabel, kWorkstationKind, OlderDetail(account));
}

std::string LivenessCheck(std::string_view prefix, int account) { return EncodeMessage({"2", AccountName(prefix, account)}); }

std::string LivenessAnswer(std::string_view prefix, int account) {
    Request answer = Numbered(0, RequestType::LivenessAnswer);
    answer.label = kOlderLabel;
    answer.account = AccountName(prefix, account);
    return EncodeRequest(answer);
}

std::string ConsoleLogon() { return Logon(kConsoleAccount, kConsoleLabel, kConsoleKind, kConsoleDetail); }

std::string QueueRequest(long long id, std::string_view account, std::string_view payload) {
    Request queue = Numbered(id, RequestType::QueueUserMessage);
    queue.argument1 = std::string(account);
    queue.argument2 = std::string(payload);
    return EncodeRequest(queue);
}

std::string QueueReply(long long id, bool stored) {
    return EncodeMessage({"1", std::to_string(id), "810", stored ? "True" : "False"});
}

std::string ListRequest(long long id) { return EncodeRequest(Numbered(id, RequestType::ListSessions)); }

std::string ListReplyHead(long long id) {
    std::string head = EncodeMessage({"1", std::to_string(id), "803", ""});
    head.resize(head.size() - 2);
    return head + client::kItemSeparator;
}

std::string ShortReply(long long id) { return EncodeMessage({"1", std::to_string(id)}); }

std::string ConsoleEntry() { return Entry(kConsoleAccount, kConsoleLabel, kConsoleKind, kConsoleDetail); }

std::string WorkstationEntry(std::string_view prefix, int account) {
    return Entry(AccountName(prefix, account), RoomOf(account), kWorkstationKind, WorkstationDetail(account));
}

std::string OlderSessionEntry(std::string_view prefix, int account) {
    return Entry(AccountName(prefix, account), kOlderLabel, kWorkstationKind, OlderDetail(account));
}

std::vector<std::string> StatisticsColumns(const Expectations& plan) {
    std::vector<std::string> lines;
    auto add = [&lines](const std::string& account, const std::string& label, const std::string& event,
                        const std::string& detail) { lines.push_back(account + '\t' + label + '\t' + event + '\t' + detail); };
    for (int account = 0; account < plan.workstations; ++account) {
        std::string name = AccountName(plan.prefix, account);
        if (HoldsOlderSession(account)) add(name, kOlderLabel, "101", "");
        if (!LogonRefused(account)) add(name, RoomOf(account), "101", "");
        for (const ClientEvent& event : kEvents) add(name, RoomOf(account), event.name, EventDetail(event, account));
    }
    return lines;
}

} // namespace vserver::loadgen::morning
