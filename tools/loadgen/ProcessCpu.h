#pragma once
// Reads another process's CPU time (user plus system) and the bytes it sent to storage from
// /proc, so a run can report what the server itself spent during the measured window.

#include <cstdint>
#include <optional>

namespace vserver::loadgen {

// Seconds of CPU the process has used so far; nothing when it does not exist or cannot be read.
std::optional<double> ProcessCpuSeconds(int pid);

// Bytes the process has caused to be written to storage so far (write_bytes of /proc/PID/io,
// counted when pages are dirtied); nothing when that cannot be read.
std::optional<std::uint64_t> ProcessWrittenBytes(int pid);

} // namespace vserver::loadgen
