#include "protocol/Dispatcher.h"

#include <array>

#include "net/ServerCore.h"
#include "settings/ServiceLog.h"

namespace vserver::protocol {

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

} // namespace vserver::protocol

namespace vserver::net {

bool ServerCore::DispatchRequest(std::string_view text, int index) {
    protocol::Request request = protocol::ParseRequest(text);
    protocol::RequestContext context{request, index, {}, protocol::RequestEnd::Completion};
    const protocol::RequestRow* row = protocol::FindRequestRow(request.type);
    if (row == nullptr) {
        settings::WriteServiceLog("Unknown incoming message type, unable to process");
    } else if (row->sender == protocol::Sender::Console && !allowConsoleRequestsFromAnyConnection) {
        const ConnectionRecord* record = FindRecordByIndex(index);
        if (record == nullptr || record->clientKind != 5) {
            std::string line = "Console request refused from a connection that is not the console, request type ";
            protocol::AppendNumber(line, request.type);
            line += ", connection index ";
            protocol::AppendNumber(line, index);
            settings::WriteServiceLog(line);
            context.result = "False";
        } else {
            row->handler(*this, context);
        }
    } else {
        row->handler(*this, context);
    }
    if (context.end == protocol::RequestEnd::Completion) {
        SendCompletion(index, request.id, request.type, context.result);
    }
    return true;
}

} // namespace vserver::net
