#include "vserverctl/Transport.h"

namespace vserver::ctl {

namespace {

constexpr const char* kSessionDetail = "vserverctl";

// The console's session is labelled with this computer's name, so the server's session list
// tells where it was run.
std::string SessionLabel() {
    std::string name = client::LocalHostName();
    return name.empty() ? "vserverctl" : name;
}

} // namespace

const client::ConsoleClient::Outcome& Session::Connect() {
    if (!connected_) {
        if (!endpoint_.port) {
            client::ConsoleClient::Outcome unknownPort;
            unknownPort.status = client::ConsoleClient::Status::Unreachable;
            unknownPort.error = endpoint_.portProblem;
            connected_ = unknownPort;
        } else {
            connected_ = console_.Connect(endpoint_.host, *endpoint_.port);
        }
    }
    return *connected_;
}

const client::ConsoleClient::Outcome& Session::LogOn() {
    if (!loggedOn_) {
        const client::ConsoleClient::Outcome& connected = Connect();
        loggedOn_ = connected.status == client::ConsoleClient::Status::Ok ? console_.Logon(SessionLabel(), kSessionDetail)
                                                                          : connected;
    }
    return *loggedOn_;
}

bool Session::Usable(const client::ConsoleClient::Outcome& outcome) {
    if (outcome.status == client::ConsoleClient::Status::Ok) return true;
    failureStatus = report.Fail(outcome.status == client::ConsoleClient::Status::Refused ? kExitFalse : kExitUnreachable,
                                outcome.error);
    return false;
}

std::optional<std::string> Session::Ask(int type, const std::string& what, const std::string& argument1,
                                        const std::string& argument2) {
    if (!Usable(LogOn())) return std::nullopt;
    return Call(type, what, argument1, argument2);
}

std::optional<std::string> Session::AskWithoutLogon(int type, const std::string& what) {
    if (!Usable(Connect())) return std::nullopt;
    return Call(type, what, {}, {});
}

std::optional<std::string> Session::Call(int type, const std::string& what, const std::string& argument1,
                                         const std::string& argument2) {
    client::Request request;
    request.type = type;
    request.account = client::kConsoleAccount;
    request.argument1 = argument1;
    request.argument2 = argument2;
    client::ConsoleClient::Outcome outcome = console_.Call(request, what);
    if (outcome.status != client::ConsoleClient::Status::Ok) {
        failureStatus = report.Fail(kExitUnreachable, outcome.error);
        return std::nullopt;
    }
    // Every request the console sends is answered with its type and a result.
    if (outcome.reply.fieldCount < 4 || outcome.reply.type != std::to_string(type)) {
        failureStatus = report.Fail(kExitUnreachable, "unexpected reply to the " + what +
                                                          " request (bytes " + client::ToHex(outcome.reply.text) + ")");
        return std::nullopt;
    }
    return outcome.reply.result;
}

std::optional<bool> Session::AskTrue(int type, const std::string& what, const std::string& argument1,
                                     const std::string& argument2) {
    std::optional<std::string> result = Ask(type, what, argument1, argument2);
    if (!result) return std::nullopt;
    if (*result == "True") return true;
    if (*result == "False") return false;
    failureStatus = report.Fail(kExitUnreachable, "the server answered the " + what + " request with \"" + *result +
                                                      "\" instead of True or False");
    return std::nullopt;
}

} // namespace vserver::ctl
