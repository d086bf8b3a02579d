#include "platform/Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <linux/sockios.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <cstdio>

namespace vserver::platform {

namespace {

int reserveDescriptor = -1;

void HoldReserve() {
    if (reserveDescriptor < 0) reserveDescriptor = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

// A non-blocking socket of family bound to address, or the failed call. v6Only applies to
// IPv6 sockets: off lets one socket take IPv4 clients as well.
SysResult OpenBound(int family, const sockaddr* address, socklen_t length, bool v6Only, int& fd) {
    fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return SysResult::Failure("socket", errno);
    int one = 1;
    int v6OnlyValue = v6Only ? 1 : 0;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (family == AF_INET6) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6OnlyValue, sizeof v6OnlyValue);
    if (::bind(fd, address, length) != 0) {
        int error = errno;
        ::close(fd);
        fd = -1;
        return SysResult::Failure("bind", error);
    }
    return SysResult::Ok();
}

SysResult StartListening(int fd, int backlog, IoHandle& handle) {
    HoldReserve();
    if (::listen(fd, backlog) != 0) {
        int error = errno;
        ::close(fd);
        return SysResult::Failure("listen", error);
    }
    handle = static_cast<IoHandle>(fd);
    return SysResult::Ok();
}

NetAddress FromSocketAddress(const sockaddr_storage& address) {
    NetAddress result;
    if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        std::memcpy(result.bytes.data(), &v6.sin6_addr, 16);
    } else if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        result.bytes[10] = 0xFF;
        result.bytes[11] = 0xFF;
        std::memcpy(result.bytes.data() + 12, &v4.sin_addr, 4);
    }
    return result;
}

} // namespace

std::optional<NetAddress> ParseNetAddress(std::string_view text) {
    if (text.empty() || text.find('\0') != std::string_view::npos) return std::nullopt;
    const std::string terminated(text);
    NetAddress result;
    if (terminated.find(':') != std::string::npos) {
        if (::inet_pton(AF_INET6, terminated.c_str(), result.bytes.data()) != 1) return std::nullopt;
        return result;
    }
    result.bytes[10] = 0xFF;
    result.bytes[11] = 0xFF;
    if (::inet_pton(AF_INET, terminated.c_str(), result.bytes.data() + 12) != 1) return std::nullopt;
    return result;
}

std::string FormatNetAddress(const NetAddress& address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address.IsV4()) {
        ::inet_ntop(AF_INET, address.bytes.data() + 12, text, sizeof text);
    } else {
        ::inet_ntop(AF_INET6, address.bytes.data(), text, sizeof text);
    }
    return text;
}

SysResult ListenTcp(int port, int backlog, IoHandle& handle) {
    // An IPv6 socket that also takes IPv4 covers "every local address"; fall back to IPv4 alone
    // where IPv6 is switched off.
    int fd = -1;
    sockaddr_in6 any6{};
    any6.sin6_family = AF_INET6;
    any6.sin6_addr = in6addr_any;
    any6.sin6_port = htons(static_cast<std::uint16_t>(port));
    SysResult bound = OpenBound(AF_INET6, reinterpret_cast<sockaddr*>(&any6), sizeof any6, false, fd);
    if (!bound) {
        if (bound.error() != EAFNOSUPPORT && bound.error() != EADDRNOTAVAIL) return bound;
        sockaddr_in any4{};
        any4.sin_family = AF_INET;
        any4.sin_addr.s_addr = htonl(INADDR_ANY);
        any4.sin_port = htons(static_cast<std::uint16_t>(port));
        bound = OpenBound(AF_INET, reinterpret_cast<sockaddr*>(&any4), sizeof any4, false, fd);
        if (!bound) return bound;
    }
    return StartListening(fd, backlog, handle);
}

SysResult ListenTcpOn(const NetAddress& address, int port, int backlog, IoHandle& handle) {
    int fd = -1;
    SysResult bound = SysResult::Ok();
    if (address.IsV4()) {
        sockaddr_in v4{};
        v4.sin_family = AF_INET;
        std::memcpy(&v4.sin_addr, address.bytes.data() + 12, 4);
        v4.sin_port = htons(static_cast<std::uint16_t>(port));
        bound = OpenBound(AF_INET, reinterpret_cast<sockaddr*>(&v4), sizeof v4, true, fd);
    } else {
        // Only the address named: "::" then means every IPv6 address, so that "0.0.0.0" can be
        // listed beside it.
        sockaddr_in6 v6{};
        v6.sin6_family = AF_INET6;
        std::memcpy(&v6.sin6_addr, address.bytes.data(), 16);
        v6.sin6_port = htons(static_cast<std::uint16_t>(port));
        bound = OpenBound(AF_INET6, reinterpret_cast<sockaddr*>(&v6), sizeof v6, true, fd);
    }
    if (!bound) return bound;
    return StartListening(fd, backlog, handle);
}

int LocalPort(IoHandle handle) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(static_cast<int>(handle), reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

IoResult AcceptTcp(IoHandle listener, IoHandle& accepted, NetAddress* peer) {
    for (;;) {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        int fd = ::accept4(static_cast<int>(listener), reinterpret_cast<sockaddr*>(&address), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            if (peer != nullptr) *peer = FromSocketAddress(address);
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
