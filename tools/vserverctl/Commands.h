#pragma once
// The console's commands: one table row per command (its name, arguments, help texts and
// handler) and the handlers, which turn each command into its request and read the reply.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "client/ConsoleClient.h"
#include "vserverctl/Report.h"

namespace vserver::ctl {

// What a handler works with: the logged-on console, the command's arguments and the report.
class Session {
public:
    Session(client::ConsoleClient& console, Report& out, const std::vector<std::string>& arguments)
        : report(out), args(arguments), console_(console) {}

    // Sends a console request and returns its result text; nothing after recording the
    // failure in the report (status in failureStatus).
    std::optional<std::string> Ask(int type, const std::string& what, const std::string& argument1 = {},
                                   const std::string& argument2 = {});
    // The same for a request whose result is "True" or "False".
    std::optional<bool> AskTrue(int type, const std::string& what, const std::string& argument1 = {},
                                const std::string& argument2 = {});

    Report& report;
    const std::vector<std::string>& args;
    int failureStatus = kExitOk;

private:
    client::ConsoleClient& console_;
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
};

const std::vector<CommandSpec>& Commands();
const CommandSpec* FindCommand(std::string_view name);

// The name of argument i of a command as given (the option command names its third argument
// by its verb).
std::string ArgumentName(const CommandSpec& command, const std::vector<std::string>& args, std::size_t i);

// Checks what can be checked before connecting: the number of arguments and the option verb.
// Returns an error text, or nothing when the arguments fit.
std::optional<std::string> CheckArguments(const CommandSpec& command, const std::vector<std::string>& args);

std::string ProgramHelp();
std::string CommandHelp(const CommandSpec& command);

} // namespace vserver::ctl
