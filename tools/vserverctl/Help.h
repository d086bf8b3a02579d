#pragma once
// What the help says: the program's help with its options and a line per command, and each
// command's own help.

#include <string>
#include <string_view>

#include "vserverctl/CommandTable.h"

namespace vserver::ctl {

struct HelpText {
    std::string_view command;
    std::string_view summary;      // the command's line in the program's help
    std::string_view description;  // the paragraph of its own help
};

// The help texts of a command; empty texts for a name that has none.
HelpText HelpOf(std::string_view command);

std::string ProgramHelp();
std::string CommandHelp(const CommandSpec& command);

} // namespace vserver::ctl
