#pragma once
// How a command reaches the server: one console connection per run, made when a command first
// needs it, with the timeout of --timeout on the connection and on every answer. A failure of
// the connection, the logon or a reply becomes the run's error line and exit status here, so
// the commands only read results.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "client/ConsoleClient.h"
#include "vserverctl/CommandOptions.h"
#include "vserverctl/Report.h"

namespace vserver::ctl {

// Where the server is: the host, and the port or why it is not known.
struct Endpoint {
    std::string host = "127.0.0.1";
    std::optional<int> port;
    std::string portProblem;   // why port is missing
    std::chrono::milliseconds timeout{5000};
};

// What a handler works with: the connection (made when first needed), the command's
// arguments and options, and the report.
class Session {
public:
    Session(Endpoint endpoint, Report& out, const std::vector<std::string>& arguments, CommandOptions commandOptions)
        : report(out), args(arguments), options(commandOptions), endpoint_(std::move(endpoint)),
          console_(endpoint_.timeout) {}
    // The run ends once the server has let go of the connection, so the next run's console
    // logon never finds this one still held.
    ~Session() { console_.Finish(); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Connects and reads the greeting, once; the outcome of that first attempt afterwards.
    const client::ConsoleClient::Outcome& Connect();
    // Connects and logs on as the administrator console, once; the logon's outcome afterwards.
    const client::ConsoleClient::Outcome& LogOn();

    // Sends a console request (logging on first) and returns its result text; nothing after
    // recording the failure in the report (status in failureStatus).
    std::optional<std::string> Ask(int type, const std::string& what, const std::string& argument1 = {},
                                   const std::string& argument2 = {});
    // The same for a request that any connection may send: no logon.
    std::optional<std::string> AskWithoutLogon(int type, const std::string& what);
    // The same for a request whose result is "True" or "False".
    std::optional<bool> AskTrue(int type, const std::string& what, const std::string& argument1 = {},
                                const std::string& argument2 = {});

    const Endpoint& endpoint() const { return endpoint_; }

    Report& report;
    const std::vector<std::string>& args;
    const CommandOptions options;
    int failureStatus = kExitOk;

private:
    std::optional<std::string> Call(int type, const std::string& what, const std::string& argument1,
                                    const std::string& argument2);
    bool Usable(const client::ConsoleClient::Outcome& outcome);

    Endpoint endpoint_;
    client::ConsoleClient console_;
    std::optional<client::ConsoleClient::Outcome> connected_;
    std::optional<client::ConsoleClient::Outcome> loggedOn_;
};

} // namespace vserver::ctl
