#pragma once
// The console's commands: one table row per command (its name, arguments, help texts and
// handler) and the handlers, which turn each command into its request and read the reply.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "client/ConsoleClient.h"
#include "vserverctl/Report.h"

namespace vserver::ctl {

// Where the server is: the host, and the port or why it is not known.
struct Endpoint {
    std::string host = "127.0.0.1";
    std::optional<int> port;
    std::string portProblem;   // why port is missing
    std::chrono::milliseconds timeout{5000};
};

// The command-specific options.
struct CommandOptions {
    bool force = false;              // option set: store a name the server does not use
    std::optional<long> lines;       // log: how many of the last records
    bool follow = false;             // log: go on printing records as they are written
    // report: the first and last day; create and delete: the file of names (--from only)
    std::optional<std::string> from;
    std::optional<std::string> to;
    std::vector<std::string> files;  // report: the statistics files ("-" standard input)
    bool csv = false;                // report: one table as CSV
    std::optional<std::string> by;   // report: which table --csv prints
    std::optional<std::string> html; // report: the page to write
    std::optional<std::string> warning;   // check: -w CONNECTIONS[,QUEUED]
    std::optional<std::string> critical;  // check: -c CONNECTIONS[,QUEUED]
    bool all = false;                // message, disconnect: every session
    bool dryRun = false;             // the work on many accounts: only show what would be done
    bool json = false;               // the output is one JSON document (the global --json)
};

// What a handler works with: the connection (made when first needed), the command's
// arguments and options, and the report.
class Session {
public:
    Session(Endpoint endpoint, Report& out, const std::vector<std::string>& arguments, CommandOptions commandOptions)
        : report(out), args(arguments), options(commandOptions), endpoint_(std::move(endpoint)),
          console_(endpoint_.timeout) {}

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

struct CommandSpec {
    std::string_view name;
    std::string_view usage;                   // the arguments, as help shows them
    std::vector<std::string_view> arguments;  // their names, for error messages
    std::size_t minArgs;
    std::size_t maxArgs;
    std::string_view summary;
    std::string_view description;
    int (*run)(Session& session);
    // The arguments name local files and never travel to the server, so any byte may stand in
    // them.
    bool localArguments = false;
};

const std::vector<CommandSpec>& Commands();
const CommandSpec* FindCommand(std::string_view name);

// The name of argument i of a command as given (the option command names its third argument
// by its verb).
std::string ArgumentName(const CommandSpec& command, const std::vector<std::string>& args, std::size_t i);

// Checks what can be checked before connecting: the number of arguments, the option verb,
// and that command options are given only to the commands that take them. Returns an error
// text, or nothing when the arguments fit.
std::optional<std::string> CheckArguments(const CommandSpec& command, const std::vector<std::string>& args,
                                          const CommandOptions& options, bool json);

std::string ProgramHelp();
std::string CommandHelp(const CommandSpec& command);

// Lays rows out in columns two blanks apart; the last column is not padded.
void AddTable(Report& report, const std::vector<std::vector<std::string>>& rows);

// Commands that read the installation's own files (status, log) and the option listing.
int RunStatus(Session& session);
int RunLog(Session& session);
int RunOptionList(Session& session);

// The usage report from the statistics files (UsageReport.cpp), and what is wrong with its
// options before anything is read.
int RunReport(Session& session);
std::optional<std::string> CheckReportOptions(const CommandOptions& options);
// The monitoring check (MonitoringCheck.cpp), and what is wrong with its thresholds.
int RunCheck(Session& session);
std::optional<std::string> CheckThresholds(const CommandOptions& options);
// The work on many accounts at once (BulkCommands.cpp): create and delete --from, message and
// disconnect --all.
int RunCreateFrom(Session& session);
int RunDeleteFrom(Session& session);
int RunMessageAll(Session& session);
int RunDisconnectAll(Session& session);

// The version of this program.
inline constexpr const char* kToolVersion = VSERVER_VERSION;

} // namespace vserver::ctl
