#pragma once
// Which commands exist: one row per command with its arguments and its handler, and the checks
// of a command line against its row that run before anything is sent. The help texts are in
// Help.h; how a handler reaches the server is in Transport.h.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vserverctl/CommandOptions.h"
#include "vserverctl/Transport.h"

namespace vserver::ctl {

struct CommandSpec {
    std::string_view name;
    std::string_view usage;                   // the arguments, as help shows them
    std::vector<std::string_view> arguments;  // their names, for error messages
    std::size_t minArgs;
    std::size_t maxArgs;
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

// Arguments that hold a reserved byte would split or end the request where they stand: the
// error text naming the first such byte, or nothing.
std::optional<std::string> CheckReservedBytes(const CommandSpec& command, const std::vector<std::string>& args);

} // namespace vserver::ctl
