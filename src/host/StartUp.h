#pragma once

namespace vserver::host {

// The program's entry: reads the command line, registers or unregisters, or serves.
int StartUp(int argc, char** argv);

} // namespace vserver::host
