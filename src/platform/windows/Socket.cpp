#include "platform/Socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>
#include <string>

#include "Win32Error.h"

namespace vserver::platform {

namespace {

// Winsock is started once per process and stays up until the process ends.
SysResult StartSockets() {
    static const int started = [] {
        WSADATA data{};
        return ::WSAStartup(MAKEWORD(2, 0), &data);
    }();
    if (started != 0) return SysResult::Failure("WSAStartup", ErrnoFromWin32(static_cast<unsigned long>(started)), started);
    return SysResult::Ok();
}

SysResult LastSocketFailure(const char* call) {
    const int code = ::WSAGetLastError();
    return SysResult::Failure(call, ErrnoFromWin32(static_cast<unsigned long>(code)), code);
}

IoResult FailedWith(int code) {
    return {IoResult::Status::Failed, 0, ErrnoFromWin32(static_cast<unsigned long>(code))};
}

SOCKET AsSocket(IoHandle handle) { return static_cast<SOCKET>(handle); }

bool SetNonBlocking(SOCKET s) {
    u_long on = 1;
    return ::ioctlsocket(s, FIONBIO, &on) == 0;
}

// A non-blocking socket of family bound to address, or the failed call. SO_EXCLUSIVEADDRUSE
// keeps a second server from binding a port in use; SO_REUSEADDR would let it, unlike on POSIX
// systems. v6Only applies to IPv6 sockets: off lets one socket take IPv4 clients as well.
SysResult OpenBound(int family, const sockaddr* address, int length, bool v6Only, SOCKET& s) {
    if (SysResult started = StartSockets(); !started) return started;
    s = ::socket(family, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return LastSocketFailure("socket");
    BOOL one = TRUE;
    DWORD v6OnlyValue = v6Only ? 1 : 0;
    ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one);
    if (family == AF_INET6) {
        ::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&v6OnlyValue), sizeof v6OnlyValue);
    }
    if (::bind(s, address, length) != 0) {
        // A port that another socket holds for exclusive use refuses the bind with WSAEACCES,
        // not WSAEADDRINUSE; Windows has no privileged ports, so the port being taken is what
        // the administrator has to read. The Winsock code stays in the result.
        const int code = ::WSAGetLastError();
        SysResult failed = code == WSAEACCES ? SysResult::Failure("bind", EADDRINUSE, code) : LastSocketFailure("bind");
        ::closesocket(s);
        s = INVALID_SOCKET;
        return failed;
    }
    return SysResult::Ok();
}

SysResult StartListening(SOCKET s, int backlog, IoHandle& handle) {
    if (!SetNonBlocking(s) || ::listen(s, backlog) != 0) {
        SysResult failed = LastSocketFailure("listen");
        ::closesocket(s);
        return failed;
    }
    handle = static_cast<IoHandle>(s);
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
    if (text.empty() || text.find('\0') != std::string_view::npos || !StartSockets()) return std::nullopt;
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
    if (!StartSockets()) return {};
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
    SOCKET s = INVALID_SOCKET;
    sockaddr_in6 any6{};
    any6.sin6_family = AF_INET6;
    any6.sin6_addr = in6addr_any;
    any6.sin6_port = htons(static_cast<u_short>(port));
    SysResult bound = OpenBound(AF_INET6, reinterpret_cast<const sockaddr*>(&any6), sizeof any6, false, s);
    if (!bound) {
        if (bound.error() != EAFNOSUPPORT && bound.error() != EADDRNOTAVAIL) return bound;
        sockaddr_in any4{};
        any4.sin_family = AF_INET;
        any4.sin_addr.s_addr = htonl(INADDR_ANY);
        any4.sin_port = htons(static_cast<u_short>(port));
        bound = OpenBound(AF_INET, reinterpret_cast<const sockaddr*>(&any4), sizeof any4, false, s);
        if (!bound) return bound;
    }
    return StartListening(s, backlog, handle);
}

SysResult ListenTcpOn(const NetAddress& address, int port, int backlog, IoHandle& handle) {
    SOCKET s = INVALID_SOCKET;
    SysResult bound = SysResult::Ok();
    if (address.IsV4()) {
        sockaddr_in v4{};
        v4.sin_family = AF_INET;
        std::memcpy(&v4.sin_addr, address.bytes.data() + 12, 4);
        v4.sin_port = htons(static_cast<u_short>(port));
        bound = OpenBound(AF_INET, reinterpret_cast<const sockaddr*>(&v4), sizeof v4, true, s);
    } else {
        // Only the address named: "::" then means every IPv6 address, so that "0.0.0.0" can be
        // listed beside it.
        sockaddr_in6 v6{};
        v6.sin6_family = AF_INET6;
        std::memcpy(&v6.sin6_addr, address.bytes.data(), 16);
        v6.sin6_port = htons(static_cast<u_short>(port));
        bound = OpenBound(AF_INET6, reinterpret_cast<const sockaddr*>(&v6), sizeof v6, true, s);
    }
    if (!bound) return bound;
    return StartListening(s, backlog, handle);
}

int LocalPort(IoHandle handle) {
    sockaddr_storage address{};
    int length = sizeof address;
    if (::getsockname(AsSocket(handle), reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

IoResult AcceptTcp(IoHandle listener, IoHandle& accepted, NetAddress* peer) {
    sockaddr_storage address{};
    int length = sizeof address;
    SOCKET s = ::accept(AsSocket(listener), reinterpret_cast<sockaddr*>(&address), &length);
    if (s == INVALID_SOCKET) {
        const int code = ::WSAGetLastError();
        if (code == WSAEWOULDBLOCK) return {IoResult::Status::WouldBlock, 0, 0};
        return FailedWith(code);
    }
    if (peer != nullptr) *peer = FromSocketAddress(address);
    // An accepted socket inherits the listener's asynchronous selection; the loop sets its
    // own when the connection is watched.
    SetNonBlocking(s);
    BOOL one = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    accepted = static_cast<IoHandle>(s);
    return {IoResult::Status::Done, 0, 0};
}

bool OutOfDescriptors(const IoResult& result) {
    return result.status == IoResult::Status::Failed && (result.error == EMFILE || result.error == ENOBUFS);
}

// Windows keeps no per-process descriptor limit that a reserve would work around: the waiting
// connection is taken and closed.
void RefuseWaitingConnection(IoHandle listener, void (*beforeRefusing)(void*), void* context) {
    if (beforeRefusing) beforeRefusing(context);
    SOCKET s = ::accept(AsSocket(listener), nullptr, nullptr);
    if (s != INVALID_SOCKET) ::closesocket(s);
}

IoResult Receive(IoHandle handle, char* buffer, std::size_t capacity) {
    const int wanted = capacity > 0x7fffffff ? 0x7fffffff : static_cast<int>(capacity);
    const int n = ::recv(AsSocket(handle), buffer, wanted, 0);
    if (n > 0) return {IoResult::Status::Done, static_cast<std::size_t>(n), 0};
    if (n == 0) return {IoResult::Status::PeerClosed, 0, 0};
    const int code = ::WSAGetLastError();
    if (code == WSAEWOULDBLOCK) return {IoResult::Status::WouldBlock, 0, 0};
    if (code == WSAECONNRESET || code == WSAECONNABORTED) return {IoResult::Status::PeerClosed, 0, 0};
    return FailedWith(code);
}

IoResult Send(IoHandle handle, const char* data, std::size_t length) {
    const int wanted = length > 0x7fffffff ? 0x7fffffff : static_cast<int>(length);
    const int n = ::send(AsSocket(handle), data, wanted, 0);
    if (n >= 0) return {IoResult::Status::Done, static_cast<std::size_t>(n), 0};
    const int code = ::WSAGetLastError();
    if (code == WSAEWOULDBLOCK) return {IoResult::Status::WouldBlock, 0, 0};
    if (code == WSAECONNRESET || code == WSAECONNABORTED) {
        return {IoResult::Status::PeerClosed, 0, ErrnoFromWin32(static_cast<unsigned long>(code))};
    }
    return FailedWith(code);
}

void CloseHandle(IoHandle handle) {
    if (handle != kInvalidHandle) ::closesocket(AsSocket(handle));
}

// The system cuts any larger request down to its own maximum.
int MaxListenBacklog() { return SOMAXCONN; }

// Winsock offers no count of unacknowledged bytes before Windows 10 (and none at all under
// every emulator), so this cannot tell: what was handed to the system counts as transmitted,
// the same answer a peer gets when the process ends after a send that succeeded.
bool AllTransmitted(IoHandle) { return true; }

} // namespace vserver::platform
