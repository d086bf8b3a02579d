#pragma once
// The names of the protocol: its reserved bytes, the request types, the codes that open the
// server's messages, the client kinds and the logon refusal codes. Header only, so the console
// and the load tools take the same names without linking the server.
//
// Each enumeration sits in a namespace of its own: its names are written RequestType::Logon,
// collide with nothing, and still convert to the int a request carries.

#include <string_view>

namespace vserver::wire {

inline constexpr char kMessageEnd = '\xBB';
inline constexpr char kSectionSeparator = '\xA6';
inline constexpr char kFieldSeparator = '\xA7';
inline constexpr char kItemSeparator = '\xB0';

// What follows every message on the wire: the end byte and a line feed.
inline constexpr std::string_view kMessageTerminator = "\xBB\n";

namespace request_types {
// Field 4 of a request.
enum RequestType : int {
    LivenessAnswer = 1,
    KeepAlive = 2,
    ClientEvent = 3,
    ListAccounts = 100,
    Logon = 101,
    CreateOwnAccount = 102,
    Logoff = 103,
    ChangeUser = 104,
    ReadPreferences = 201,
    WritePreferences = 203,
    ListToolbarSets = 204,
    ToolbarSetExists = 205,
    ReadOption = 206,
    ServerVersion = 207,
    CollectUserMessages = 208,
    CollectToolbarSets = 210,
    // Types from here on are the administrator console's.
    SetLogonLock = 800,
    IsLogonLocked = 801,
    CountClients = 802,
    ListSessions = 803,
    DisconnectUser = 804,
    SendTextMessage = 805,
    ConsoleListAccounts = 806,
    CreateAccount = 807,
    DeleteAccount = 808,
    ReloadOptions = 809,
    QueueUserMessage = 810,
    SendToolbarSet = 811,
    QueueToolbarSet = 812,
    WriteOption = 817,
};
} // namespace request_types
using request_types::RequestType;

namespace message_codes {
// The first field of a message the server sends.
enum MessageCode : int {
    Reply = 1,              // the greeting, completions, refusals and the toolbar set answers
    LivenessCheck = 2,
    DisconnectNotice = 103,
    TextMessage = 200,
    PreferenceValues = 202,
    ToolbarSet = 209,
};
} // namespace message_codes
using message_codes::MessageCode;

namespace client_kinds {
// Section 2 of a logon; a connection that has not logged on has none.
enum ClientKind : int {
    NotLoggedOn = -1,
    // Logged on without the account and liveness checks.
    Unchecked = 4,
    Console = 5,
};
} // namespace client_kinds
using client_kinds::ClientKind;

namespace refusal_codes {
// The result code of a refused logon or change of user.
enum RefusalCode : int {
    NoHomeFolder = 1,
    // The account answers from a live session; for a console, a console is logged on already.
    SessionAlive = 2,
    // A change of user whose current account holds no live session.
    NoLiveSession = 3,
    // Logons are locked; also a console whose address may not log on.
    LogonsLocked = 5,
    VersionDiffers = 6,
};
} // namespace refusal_codes
using refusal_codes::RefusalCode;

} // namespace vserver::wire
