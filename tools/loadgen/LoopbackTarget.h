#pragma once
// What both load engines need from the system besides their sockets: the monotonic clock, this
// process's CPU time, the loopback address to connect to, and a descriptor limit high enough
// for thousands of connections.

#include <sys/resource.h>
#include <sys/socket.h>

#include <cstdint>
#include <string>

namespace vserver::loadgen {

// Nanoseconds of the monotonic clock.
std::uint64_t NowNs();
inline std::uint64_t ToNs(double seconds) { return static_cast<std::uint64_t>(seconds * 1e9); }

// Seconds of CPU this process has used (user and system).
double CpuSeconds();

// Fills address with host ("localhost", an IPv4 or an IPv6 literal) and port; false when host
// is not a loopback address, which is all the load generator targets.
bool ResolveLoopback(const std::string& host, int port, sockaddr_storage& address, socklen_t& length);

// Raises the soft limit on open files to needed (and the hard one too when allowed); false with
// *error when that is not possible.
bool RaiseDescriptorLimit(rlim_t needed, std::string* error);

} // namespace vserver::loadgen
