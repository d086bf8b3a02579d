#include "requests/AccountRequests.h"
#include "requests/Dispatcher.h"
#include "requests/OptionRequests.h"
#include "requests/SessionRequests.h"
#include "wire/Protocol.h"

namespace vserver::requests {

namespace {

using Type = wire::RequestType;

constexpr RequestRow kRows[] = {
    {Type::LivenessAnswer, HandleLivenessAnswer, Sender::Anyone},
    {Type::KeepAlive, HandleKeepAlive, Sender::Anyone},
    {Type::ClientEvent, HandleClientEvent, Sender::Anyone},
    {Type::ListAccounts, HandleListAccounts, Sender::Anyone},
    {Type::Logon, HandleLogon, Sender::Anyone},
    {Type::CreateOwnAccount, HandleCreateOwnAccount, Sender::Anyone},
    {Type::Logoff, HandleLogoff, Sender::Anyone},
    {Type::ChangeUser, HandleChangeUser, Sender::Anyone},
    {Type::ReadPreferences, HandleReadPreferences, Sender::Anyone},
    {Type::WritePreferences, HandleWritePreferences, Sender::Anyone},
    {Type::ListToolbarSets, HandleListToolbarSets, Sender::Anyone},
    {Type::ToolbarSetExists, HandleToolbarSetExists, Sender::Anyone},
    {Type::ReadOption, HandleReadOption, Sender::Anyone},
    {Type::ServerVersion, HandleServerVersion, Sender::Anyone},
    {Type::CollectUserMessages, HandleCollectUserMessages, Sender::Anyone},
    {Type::CollectToolbarSets, HandleCollectToolbarSets, Sender::Anyone},
    {Type::SetLogonLock, HandleSetLogonLock, Sender::Console},
    {Type::IsLogonLocked, HandleIsLogonLocked, Sender::Console},
    {Type::CountClients, HandleCountClients, Sender::Console},
    {Type::ListSessions, HandleListSessions, Sender::Console},
    {Type::DisconnectUser, HandleDisconnectUser, Sender::Console},
    {Type::SendTextMessage, HandleSendTextMessage, Sender::Console},
    {Type::ConsoleListAccounts, HandleListAccounts, Sender::Console},
    {Type::CreateAccount, HandleCreateAccount, Sender::Console},
    {Type::DeleteAccount, HandleDeleteAccount, Sender::Console},
    {Type::ReloadOptions, HandleReloadOptions, Sender::Console},
    {Type::QueueUserMessage, HandleQueueUserMessage, Sender::Console},
    {Type::SendToolbarSet, HandleSendToolbarSet, Sender::Console},
    {Type::QueueToolbarSet, HandleQueueToolbarSet, Sender::Console},
    {Type::WriteOption, HandleWriteOption, Sender::Console},
};

} // namespace

std::span<const RequestRow> RequestRows() { return kRows; }

} // namespace vserver::requests
