#include "support/NotifyListener.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>

namespace vserver::test {

NotifyListener::NotifyListener(const std::string& address) : address_(address) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un target{};
    target.sun_family = AF_UNIX;
    if (address.empty() || address.size() >= sizeof target.sun_path) return;
    std::memcpy(target.sun_path, address.data(), address.size());
    if (address[0] == '@') {
        target.sun_path[0] = '\0';
    } else {
        ::unlink(address.c_str());
    }
    auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address.size());
    bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&target), length) == 0;
}

NotifyListener::~NotifyListener() {
    ::close(fd_);
    if (!address_.empty() && address_[0] == '/') ::unlink(address_.c_str());
}

std::string NotifyListener::Receive(std::chrono::milliseconds timeout) {
    timeval tv{static_cast<time_t>(timeout.count() / 1000), static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char buffer[4096];
    ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    return n < 0 ? std::string("<nothing>") : std::string(buffer, static_cast<std::size_t>(n));
}

std::string NotifyListener::ReceiveSkipping(const std::string& skipped, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return "<nothing>";
        std::string datagram = Receive(left);
        if (datagram.rfind(skipped, 0) != 0) return datagram;
    }
}

} // namespace vserver::test
