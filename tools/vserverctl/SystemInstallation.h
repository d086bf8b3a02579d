#pragma once
// What an installation looks like on the system this console is built for: where a package keeps
// its files, and how the help tells where the port is read from.

#include <optional>

namespace vserver::ctl {

// The settings, the service log and the lock of a packaged server, kept in the system's folders
// with no registry file beside this program.
struct PackagedFiles {
    const char* registry;
    const char* serviceLog;
    const char* lock;
};

// Nothing on a system where no package places the server's files apart from it.
std::optional<PackagedFiles> PackagedInstallation();

// The help's entry for --port, which tells where the port comes from without it: whole lines,
// each ending in a line break.
const char* PortOptionHelp();

} // namespace vserver::ctl
