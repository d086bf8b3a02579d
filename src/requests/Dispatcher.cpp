#include "requests/Dispatcher.h"

#include <array>

#include "sessions/Server.h"
#include "platform/common/NetAddress.h"
#include "settings/ServiceLog.h"
#include "wire/Fields.h"
#include "wire/Protocol.h"

namespace vserver::requests {

namespace {

constexpr int kTableSize = 1024;

// Direct lookup by type: one array probe per request.
const std::array<const RequestRow*, kTableSize>& RowsByType() {
    static const std::array<const RequestRow*, kTableSize> table = [] {
        std::array<const RequestRow*, kTableSize> t{};
        for (const RequestRow& row : RequestRows()) t[static_cast<std::size_t>(row.type)] = &row;
        return t;
    }();
    return table;
}

} // namespace

const RequestRow* FindRequestRow(int type) {
    if (type < 0 || type >= kTableSize) return nullptr;
    return RowsByType()[static_cast<std::size_t>(type)];
}

Dispatcher::Dispatcher(sessions::Server& server)
    : server_(server), liveness_(server), unknownTypes_(server.loop()), queues_(server) {
    server_.net().SetConnectionEvents(this);
}

Dispatcher::~Dispatcher() { server_.net().SetConnectionEvents(nullptr); }

bool Dispatcher::ConsoleMaySend(int index, int type) const {
    const net::ConnectionRecord* record = server_.net().FindRecordByIndex(index);
    if (record != nullptr && record->clientKind == wire::ClientKind::Console) return true;
    std::string line;
    if (!server_.allowConsoleRequestsFromAnyConnection) {
        line = "Console request refused from a connection that is not the console";
    } else if (record == nullptr || record->consoleAddressAllowed) {
        // Opened to every connection, but still only from the console's addresses.
        return true;
    } else {
        line = "Console request refused from " + platform::FormatNetAddress(record->peerAddress) +
               ", the address is not in Options\\ConsoleAddresses";
    }
    line += ", request type ";
    wire::AppendNumber(line, type);
    line += ", connection index ";
    wire::AppendNumber(line, index);
    settings::WriteServiceLog(line);
    return false;
}

bool Dispatcher::DispatchRequest(std::string_view text, int index) {
    wire::Request request = wire::ParseRequest(text);
    RequestContext context{request, index, liveness_, queues_, {}, RequestEnd::Completion};
    const RequestRow* row = FindRequestRow(request.type);
    if (row == nullptr) {
        unknownTypes_.Record(index);
    } else if (row->sender == Sender::Console && !ConsoleMaySend(index, request.type)) {
        context.result = "False";
    } else {
        row->handler(server_, context);
    }
    if (context.end == RequestEnd::Completion) {
        server_.net().SendCompletion(index, request.id, request.type, context.result);
    }
    return true;
}

} // namespace vserver::requests
