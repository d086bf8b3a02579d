#pragma once
// The program's entry: reads the command line, then registers, unregisters, or checks its
// registration and serves, under the service manager or as a plain process.

namespace vserver::host {

// Exit status 0 after an orderly run or a successful (un)registration; 1 when the registry
// file could not be written or the program is not registered.
int StartUp(int argc, char** argv);

} // namespace vserver::host
