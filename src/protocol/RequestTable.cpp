#include "protocol/AccountRequests.h"
#include "protocol/Dispatcher.h"
#include "protocol/ServerRequests.h"

namespace vserver::protocol {

namespace {

constexpr RequestRow kRows[] = {
    {2, HandleKeepAlive, Sender::Anyone},
    {100, HandleListAccounts, Sender::Anyone},
    {102, HandleCreateOwnAccount, Sender::Anyone},
    {201, HandleReadPreferences, Sender::Anyone},
    {203, HandleWritePreferences, Sender::Anyone},
    {204, HandleListToolbarSets, Sender::Anyone},
    {206, HandleReadOption, Sender::Anyone},
    {207, HandleServerVersion, Sender::Anyone},
    {208, HandleCollectUserMessages, Sender::Anyone},
    {210, HandleCollectToolbarSets, Sender::Anyone},
    {806, HandleListAccounts, Sender::Console},
    {807, HandleCreateAccount, Sender::Console},
    {808, HandleDeleteAccount, Sender::Console},
    {809, HandleReloadOptions, Sender::Console},
    {810, HandleQueueUserMessage, Sender::Console},
    {812, HandleQueueToolbarSet, Sender::Console},
    {817, HandleWriteOption, Sender::Console},
};

} // namespace

std::span<const RequestRow> RequestRows() { return kRows; }

} // namespace vserver::protocol
