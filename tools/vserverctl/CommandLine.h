#pragma once
// The command line of vserverctl: the global options, the command's options and the command
// with its arguments, in any order.

#include <string>
#include <vector>

#include "vserverctl/CommandOptions.h"
#include "vserverctl/Transport.h"

namespace vserver::ctl {

// What the command line gave.
struct GlobalOptions {
    Endpoint endpoint;
    bool portGiven = false;
    CommandOptions command;
    bool json = false;
    bool help = false;
    bool version = false;
    std::vector<std::string> rest;   // the command and its arguments
};

// The first argument that is neither an option nor an option's value: the command, found
// before the options are parsed, since a failed parse leaves the command uncollected.
std::string CommandWord(int argc, char** argv);

// Reads the options into options and the rest into options.rest; false with the reason in
// error when the line holds an unknown option or a value that is not one.
bool ParseOptions(int argc, char** argv, GlobalOptions& options, std::string* error);

} // namespace vserver::ctl
