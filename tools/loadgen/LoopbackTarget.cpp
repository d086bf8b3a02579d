#include "loadgen/LoopbackTarget.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vserver::loadgen {

std::uint64_t NowNs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(ts.tv_nsec);
}

double CpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

bool ResolveLoopback(const std::string& host, int port, sockaddr_storage& address, socklen_t& length) {
    std::string text = host == "localhost" ? "127.0.0.1" : host;
    auto networkPort = htons(static_cast<std::uint16_t>(port));
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    if (::inet_pton(AF_INET, text.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = networkPort;
        length = sizeof(sockaddr_in);
        return (ntohl(v4->sin_addr.s_addr) >> 24) == 127;
    }
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    if (::inet_pton(AF_INET6, text.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = networkPort;
        length = sizeof(sockaddr_in6);
        return IN6_IS_ADDR_LOOPBACK(&v6->sin6_addr);
    }
    return false;
}

bool RaiseDescriptorLimit(rlim_t needed, std::string* error) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        *error = std::string("getrlimit: ") + std::strerror(errno);
        return false;
    }
    if (limit.rlim_cur >= needed) return true;
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max == RLIM_INFINITY ? needed : std::min<rlim_t>(std::max(needed, limit.rlim_cur), limit.rlim_max);
    if (raised.rlim_cur < needed) raised.rlim_max = raised.rlim_cur = needed;   // only root may raise the hard limit
    if (::setrlimit(RLIMIT_NOFILE, &raised) != 0) {
        *error = "cannot raise the open-file limit to " + std::to_string(needed) + " (hard limit " +
                 std::to_string(limit.rlim_max) + "): " + std::strerror(errno);
        return false;
    }
    return true;
}

} // namespace vserver::loadgen
