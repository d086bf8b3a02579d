#include "client/ConsoleClient.h"

#include <cstdlib>

namespace vserver::client {

namespace {

using wire::MessageCode;
using wire::RefusalCode;
using wire::RequestType;

bool HasCode(const Reply& reply, MessageCode code) { return reply.code == std::to_string(code); }

std::string Seconds(std::chrono::milliseconds timeout) {
    long long ms = timeout.count();
    if (ms % 1000 == 0) return std::to_string(ms / 1000) + " s";
    return std::to_string(ms) + " ms";
}

} // namespace

ConsoleClient::Outcome ConsoleClient::Unreachable(std::string error) const {
    Outcome outcome;
    outcome.status = Status::Unreachable;
    outcome.error = std::move(error);
    return outcome;
}

ConsoleClient::Outcome ConsoleClient::Connect(const std::string& host, int port) {
    peer_ = host + ":" + std::to_string(port);
    std::string error;
    if (!connection_.Open(host, port, timeout_, &error)) return Unreachable(error);
    std::optional<std::string> greeting = connection_.ReadMessage(timeout_);
    if (!greeting) {
        return Unreachable(connection_.closed() ? peer_ + " closed the connection before its greeting"
                                                : "no greeting from " + peer_ + " within " + Seconds(timeout_));
    }
    std::string_view expected = kGreeting.substr(0, kGreeting.size() - 2);
    if (*greeting != expected) {
        return Unreachable(peer_ + " is not a Vantorel server (unexpected greeting " + ToHex(*greeting) + ")");
    }
    return {};
}

ConsoleClient::Outcome ConsoleClient::Logon(const std::string& label, const std::string& detail) {
    Request logon;
    logon.type = RequestType::Logon;
    logon.account = kConsoleAccount;
    logon.label = label;
    logon.clientKind = wire::ClientKind::Console;
    logon.version = kClientVersion;
    logon.detail = detail;
    Outcome outcome = Call(logon, "logon");
    if (outcome.status != Status::Ok) return outcome;
    // A success is the short form; a refusal names the request type and carries a code.
    if (outcome.reply.fieldCount >= 4 && outcome.reply.type == std::to_string(RequestType::Logon)) {
        std::vector<std::string> parts = SplitFields(outcome.reply.result);
        std::string serverVersion;
        if (parts.size() > 1) serverVersion = SplitFields(parts[1], kSectionSeparator).back();
        outcome.status = Status::Refused;
        outcome.refusalCode = std::atoi(parts[0].c_str());
        outcome.error = "logon refused (code " + parts[0] + "): " + ExplainRefusal(outcome.refusalCode, serverVersion);
    }
    return outcome;
}

ConsoleClient::Outcome ConsoleClient::Call(Request request, const std::string& what) {
    request.id = nextId_++;
    if (!connection_.Send(request)) return Unreachable("cannot send the " + what + " request to " + peer_);
    const std::string id = std::to_string(request.id);
    auto deadline = std::chrono::steady_clock::now() + timeout_;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        std::optional<std::string> message;
        if (left.count() > 0) message = connection_.ReadMessage(left);
        if (!message) {
            if (connection_.closed()) return Unreachable(peer_ + " closed the connection during the " + what + " request");
            return Unreachable("no answer from " + peer_ + " to the " + what + " request within " + Seconds(timeout_));
        }
        Reply reply = ParseReply(*message);
        if (HasCode(reply, MessageCode::Reply) && reply.id == id) {
            Outcome outcome;
            outcome.reply = std::move(reply);
            return outcome;
        }
        if (HasCode(reply, MessageCode::LivenessCheck)) {
            // The server asks whether this session is alive (another logon wants the name).
            Request answer;
            answer.type = RequestType::LivenessAnswer;
            answer.account = kConsoleAccount;
            if (!connection_.Send(answer)) return Unreachable("cannot answer the liveness check of " + peer_);
        } else if (HasCode(reply, MessageCode::DisconnectNotice)) {
            return Unreachable(peer_ + " disconnected the console during the " + what + " request");
        }
    }
}

std::string ConsoleClient::ExplainRefusal(int code, const std::string& serverVersion) {
    switch (code) {
    case RefusalCode::NoHomeFolder: return "the account has no home folder";
    case RefusalCode::SessionAlive: return "another administrator console is already logged on";
    // A console logs on even while logons are locked: for it this code means its address.
    case RefusalCode::LogonsLocked: return "the server takes no console from this computer's address (Options\\ConsoleAddresses)";
    case RefusalCode::VersionDiffers:
        return "the server's version " + (serverVersion.empty() ? std::string("(unknown)") : serverVersion) +
               " differs from this console's version " + kClientVersion;
    default: return "unknown refusal code";
    }
}

} // namespace vserver::client
