#include "requests/AccountRequests.h"
#include "requests/Dispatcher.h"
#include "requests/OptionRequests.h"
#include "requests/SessionRequests.h"

namespace vserver::requests {

namespace {

constexpr RequestRow kRows[] = {
    {1, HandleLivenessAnswer, Sender::Anyone},
    {2, HandleKeepAlive, Sender::Anyone},
    {3, HandleClientEvent, Sender::Anyone},
    {100, HandleListAccounts, Sender::Anyone},
    {101, HandleLogon, Sender::Anyone},
    {102, HandleCreateOwnAccount, Sender::Anyone},
    {103, HandleLogoff, Sender::Anyone},
    {104, HandleChangeUser, Sender::Anyone},
    {201, HandleReadPreferences, Sender::Anyone},
    {203, HandleWritePreferences, Sender::Anyone},
    {204, HandleListToolbarSets, Sender::Anyone},
    {205, HandleToolbarSetExists, Sender::Anyone},
    {206, HandleReadOption, Sender::Anyone},
    {207, HandleServerVersion, Sender::Anyone},
    {208, HandleCollectUserMessages, Sender::Anyone},
    {210, HandleCollectToolbarSets, Sender::Anyone},
    {800, HandleSetLogonLock, Sender::Console},
    {801, HandleIsLogonLocked, Sender::Console},
    {802, HandleCountClients, Sender::Console},
    {803, HandleListSessions, Sender::Console},
    {804, HandleDisconnectUser, Sender::Console},
    {805, HandleSendTextMessage, Sender::Console},
    {806, HandleListAccounts, Sender::Console},
    {807, HandleCreateAccount, Sender::Console},
    {808, HandleDeleteAccount, Sender::Console},
    {809, HandleReloadOptions, Sender::Console},
    {810, HandleQueueUserMessage, Sender::Console},
    {811, HandleSendToolbarSet, Sender::Console},
    {812, HandleQueueToolbarSet, Sender::Console},
    {817, HandleWriteOption, Sender::Console},
};

} // namespace

std::span<const RequestRow> RequestRows() { return kRows; }

} // namespace vserver::requests
