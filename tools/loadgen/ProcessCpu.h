#pragma once
// Reads another process's CPU time (user plus system) from /proc, so a run can report what
// the server itself spent during the measured window.

#include <optional>

namespace vserver::loadgen {

// Seconds of CPU the process has used so far; nothing when it does not exist or cannot be read.
std::optional<double> ProcessCpuSeconds(int pid);

} // namespace vserver::loadgen
