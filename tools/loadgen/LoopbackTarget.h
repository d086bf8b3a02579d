#pragma once
// What both load engines need from the system besides their sockets: the monotonic clock, this
// process's CPU time, the loopback address to connect to, a descriptor limit high enough for
// thousands of connections, and the wait for their epoll set's events.

#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
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

// Waits for events of the epoll set until wakeAt at the latest, and at most 100 ms so the engine
// looks at its clock often, then hands each event's data and flags to handle with the time the
// wait ended.
template <typename Handle>
void WaitAndHandle(int epoll, std::uint64_t now, std::uint64_t wakeAt, Handle handle) {
    constexpr int kMaxEvents = 1024;
    std::uint64_t wait = wakeAt > now ? wakeAt - now : 0;
    int timeoutMs = static_cast<int>(std::min<std::uint64_t>((wait + 999'999) / 1'000'000, 100));
    epoll_event events[kMaxEvents];
    int count = ::epoll_wait(epoll, events, kMaxEvents, timeoutMs);
    if (count <= 0) return;
    std::uint64_t at = NowNs();
    for (int i = 0; i < count; ++i) handle(events[i].data.u64, events[i].events, at);
}

} // namespace vserver::loadgen
