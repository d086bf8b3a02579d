#pragma once
// The options a command takes besides its arguments, as the command line gave them.

#include <optional>
#include <string>
#include <vector>

namespace vserver::ctl {

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

} // namespace vserver::ctl
