#pragma once
// The bytes of the session exchanges the load generator drives, built once before a run so
// the connections only compare and copy: one logon cycle per account (logon, client event,
// logoff) and the logon, liveness check and disconnect notice of a silent session.

#include <array>
#include <string>
#include <string_view>

namespace vserver::loadgen {

// The request ids of a cycle's steps; each success reply is "1", 0xA7, id.
inline constexpr int kLogonId = 1;
inline constexpr int kEventId = 2;
inline constexpr int kLogoffId = 3;

// A workstation's logon, its client event and its logoff, in that order.
struct CycleScript {
    std::array<std::string, 3> requests;
};

CycleScript MakeCycleScript(std::string_view account);

// A workstation logon (client kind 3, version "9.0") as account with the given request id.
std::string LogonRequest(std::string_view account, int id);

// "1", 0xA7, id: the reply to a request that succeeded.
std::string Completion(int id);

// What a silent session logged on as account receives while another connection logs on as
// the same account: the liveness check, then, when it stays silent, the disconnect notice.
struct SilentSessionScript {
    std::string logon;
    std::string received;            // check and notice, one after the other
    std::size_t checkLength = 0;     // the check's share of received
};

SilentSessionScript MakeSilentSessionScript(std::string_view account);

} // namespace vserver::loadgen
