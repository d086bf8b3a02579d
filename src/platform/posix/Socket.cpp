#include "platform/Socket.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <linux/sockios.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/BackendCalls.h"

namespace vserver::platform {

namespace {

int reserveDescriptor = -1;

void HoldReserve() {
    if (reserveDescriptor < 0) reserveDescriptor = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

} // namespace

// Sockets need no start on POSIX systems.
SocketSupport StartSocketSupport() { return SocketSupport::Ready; }

SysResult backend::OpenListener(const sockaddr* address, int length, bool v6Only, int backlog, IoHandle& handle) {
    int fd = ::socket(address->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return SysResult::Failure("socket", errno);
    int one = 1;
    int v6OnlyValue = v6Only ? 1 : 0;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (address->sa_family == AF_INET6) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6OnlyValue, sizeof v6OnlyValue);
    if (::bind(fd, address, static_cast<socklen_t>(length)) != 0) {
        int error = errno;
        ::close(fd);
        return SysResult::Failure("bind", error);
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

bool backend::LocalSocketAddress(IoHandle handle, sockaddr_storage& address) {
    socklen_t length = sizeof address;
    return ::getsockname(static_cast<int>(handle), reinterpret_cast<sockaddr*>(&address), &length) == 0;
}

IoResult AcceptTcp(IoHandle listener, IoHandle& accepted, NetAddress* peer) {
    for (;;) {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        int fd = ::accept4(static_cast<int>(listener), reinterpret_cast<sockaddr*>(&address), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            if (peer != nullptr) *peer = backend::FromSocketAddress(address);
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

int MaxListenBacklog() {
    // The kernel cuts any larger request down to this value, which an administrator may have
    // raised above the compiled-in default.
    int backlog = SOMAXCONN;
    if (FILE* file = std::fopen("/proc/sys/net/core/somaxconn", "re")) {
        int configured = 0;
        if (std::fscanf(file, "%d", &configured) == 1 && configured > backlog) backlog = configured;
        std::fclose(file);
    }
    return backlog;
}

bool AllTransmitted(IoHandle handle) {
    // Sent is not enough: a peer short of buffer space drops segments and waits for them
    // again, which a dead sender never does. Only bytes the peer acknowledged are its own.
    int unacknowledged = 0;
    return ::ioctl(handle, SIOCOUTQ, &unacknowledged) == 0 && unacknowledged == 0;
}

} // namespace vserver::platform
