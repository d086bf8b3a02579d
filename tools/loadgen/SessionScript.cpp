#include "loadgen/SessionScript.h"

#include "client/ProtocolClient.h"

namespace vserver::loadgen {

namespace {

constexpr int kWorkstationKind = 3;
constexpr const char* kClientVersion = "9.0";
constexpr const char* kLabel = "Load";

// A request of the given type that carries the session's label and account.
client::Request Session(int type, int id, std::string_view account) {
    client::Request request;
    request.id = id;
    request.type = type;
    request.label = kLabel;
    request.account = std::string(account);
    return request;
}

} // namespace

std::string LogonRequest(std::string_view account, int id) {
    client::Request logon = Session(wire::RequestType::Logon, id, account);
    logon.clientKind = kWorkstationKind;
    logon.version = kClientVersion;
    logon.detail = "vserver-load";
    return client::EncodeRequest(logon);
}

std::string Completion(int id) { return client::EncodeMessage({"1", std::to_string(id)}); }

CycleScript MakeCycleScript(std::string_view account) {
    client::Request event = Session(wire::RequestType::ClientEvent, kEventId, account);
    event.argument1 = "LoadCycle";    // the event name
    event.argument2 = "logon cycle";  // its detail
    client::Request logoff = Session(wire::RequestType::Logoff, kLogoffId, account);
    return {{LogonRequest(account, kLogonId), client::EncodeRequest(event), client::EncodeRequest(logoff)}};
}

SilentSessionScript MakeSilentSessionScript(std::string_view account) {
    SilentSessionScript script;
    script.logon = LogonRequest(account, kLogonId);
    script.received = client::EncodeMessage({"2", account});
    script.checkLength = script.received.size();
    script.received += client::EncodeMessage({"103", account});
    return script;
}

} // namespace vserver::loadgen
