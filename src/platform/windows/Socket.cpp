#include "platform/Socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

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

// Binds s to port on the wildcard address of its family. SO_EXCLUSIVEADDRUSE keeps a second
// server from binding a port in use; SO_REUSEADDR would let it, unlike on POSIX systems.
bool BindExclusive(SOCKET s, const sockaddr* address, int length) {
    BOOL one = TRUE;
    ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one);
    return ::bind(s, address, length) == 0;
}

} // namespace

SysResult ListenTcp(int port, int backlog, IoHandle& handle) {
    if (SysResult started = StartSockets(); !started) return started;
    // An IPv6 socket that also takes IPv4 covers "every local address"; fall back to IPv4 alone
    // where IPv6 is switched off.
    SOCKET s = ::socket(AF_INET6, SOCK_STREAM, IPPROTO_TCP);
    if (s != INVALID_SOCKET) {
        DWORD zero = 0;
        ::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&zero), sizeof zero);
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_any;
        address.sin6_port = htons(static_cast<u_short>(port));
        if (!BindExclusive(s, reinterpret_cast<const sockaddr*>(&address), sizeof address)) {
            const int code = ::WSAGetLastError();
            ::closesocket(s);
            if (code != WSAEAFNOSUPPORT && code != WSAEADDRNOTAVAIL) {
                return SysResult::Failure("bind", ErrnoFromWin32(static_cast<unsigned long>(code)), code);
            }
            s = INVALID_SOCKET;
        }
    }
    if (s == INVALID_SOCKET) {
        s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (s == INVALID_SOCKET) return LastSocketFailure("socket");
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        address.sin_port = htons(static_cast<u_short>(port));
        if (!BindExclusive(s, reinterpret_cast<const sockaddr*>(&address), sizeof address)) {
            SysResult failed = LastSocketFailure("bind");
            ::closesocket(s);
            return failed;
        }
    }
    if (!SetNonBlocking(s) || ::listen(s, backlog) != 0) {
        SysResult failed = LastSocketFailure("listen");
        ::closesocket(s);
        return failed;
    }
    handle = static_cast<IoHandle>(s);
    return SysResult::Ok();
}

int LocalPort(IoHandle handle) {
    sockaddr_storage address{};
    int length = sizeof address;
    if (::getsockname(AsSocket(handle), reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

IoResult AcceptTcp(IoHandle listener, IoHandle& accepted) {
    SOCKET s = ::accept(AsSocket(listener), nullptr, nullptr);
    if (s == INVALID_SOCKET) {
        const int code = ::WSAGetLastError();
        if (code == WSAEWOULDBLOCK) return {IoResult::Status::WouldBlock, 0, 0};
        return FailedWith(code);
    }
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

} // namespace vserver::platform
