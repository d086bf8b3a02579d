#include "platform/Socket.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace vserver::platform {

namespace {

int reserveDescriptor = -1;

void HoldReserve() {
    if (reserveDescriptor < 0) reserveDescriptor = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

} // namespace


SysResult ListenTcp(int port, int backlog, IoHandle& handle) {
    // An IPv6 socket that also takes IPv4 covers "every local address"; fall back to IPv4 alone
    // where IPv6 is switched off.
    int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int one = 1;
    int zero = 0;
    if (fd >= 0) {
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_any;
        address.sin6_port = htons(static_cast<std::uint16_t>(port));
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            int error = errno;
            ::close(fd);
            if (error != EAFNOSUPPORT && error != EADDRNOTAVAIL) return SysResult::Failure("bind", error);
            fd = -1;
        }
    }
    if (fd < 0) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) return SysResult::Failure("socket", errno);
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            int error = errno;
            ::close(fd);
            return SysResult::Failure("bind", error);
        }
    }
    HoldReserve();
    if (::listen(fd, backlog) != 0) {
        int error = errno;
        ::close(fd);
        return SysResult::Failure("listen", error);
    }
    handle = static_cast<IoHandle>(fd);
    return SysResult::Ok();
}

int LocalPort(IoHandle handle) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(static_cast<int>(handle), reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

IoResult AcceptTcp(IoHandle listener, IoHandle& accepted) {
    for (;;) {
        int fd = ::accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            accepted = static_cast<IoHandle>(fd);
            return {IoResult::Status::Done, 0, 0};
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return {IoResult::Status::WouldBlock, 0, 0};
        return {IoResult::Status::Failed, 0, errno};
    }
}

bool OutOfDescriptors(const IoResult& result) {
    return result.status == IoResult::Status::Failed && (result.error == EMFILE || result.error == ENFILE);
}

void RefuseWaitingConnection(IoHandle listener, void (*beforeRefusing)(void*), void* context) {
    if (reserveDescriptor >= 0) {
        ::close(reserveDescriptor);
        reserveDescriptor = -1;
    }
    if (beforeRefusing) beforeRefusing(context);
    int fd = ::accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) ::close(fd);
    HoldReserve();
}

IoResult Receive(IoHandle handle, char* buffer, std::size_t capacity) {
    for (;;) {
        ssize_t n = ::recv(static_cast<int>(handle), buffer, capacity, 0);
        if (n > 0) return {IoResult::Status::Done, static_cast<std::size_t>(n), 0};
        if (n == 0) return {IoResult::Status::PeerClosed, 0, 0};
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return {IoResult::Status::WouldBlock, 0, 0};
        return {IoResult::Status::Failed, 0, errno};
    }
}

IoResult Send(IoHandle handle, const char* data, std::size_t length) {
    for (;;) {
        ssize_t n = ::send(static_cast<int>(handle), data, length, MSG_NOSIGNAL);
        if (n >= 0) return {IoResult::Status::Done, static_cast<std::size_t>(n), 0};
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return {IoResult::Status::WouldBlock, 0, 0};
        if (errno == EPIPE || errno == ECONNRESET) return {IoResult::Status::PeerClosed, 0, errno};
        return {IoResult::Status::Failed, 0, errno};
    }
}

void CloseHandle(IoHandle handle) {
    if (handle != kInvalidHandle) ::close(static_cast<int>(handle));
}

} // namespace vserver::platform
