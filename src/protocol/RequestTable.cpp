#include "protocol/Dispatcher.h"
#include "protocol/ServerRequests.h"

namespace vserver::protocol {

namespace {

constexpr RequestRow kRows[] = {
    {2, HandleKeepAlive, Sender::Anyone},
    {206, HandleReadOption, Sender::Anyone},
    {207, HandleServerVersion, Sender::Anyone},
    {809, HandleReloadOptions, Sender::Console},
    {817, HandleWriteOption, Sender::Console},
};

} // namespace

std::span<const RequestRow> RequestRows() { return kRows; }

} // namespace vserver::protocol
