#include "platform/Socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>


#include "Win32Error.h"
#include "platform/BackendCalls.h"

namespace vserver::platform {

namespace {

constexpr WORD kSocketVersion = MAKEWORD(2, 0);

// Winsock is started once per process and stays up until the process ends. Asked for 2.0, a
// newer Winsock answers 2.0; one that offers less refuses or answers with its own version.
SocketSupport StartWinsock() {
    WSADATA data{};
    const int started = ::WSAStartup(kSocketVersion, &data);
    if (started == WSAVERNOTSUPPORTED) return SocketSupport::IncompatibleVersion;
    if (started != 0) return SocketSupport::Unavailable;
    if (data.wVersion != kSocketVersion) {
        ::WSACleanup();
        return SocketSupport::IncompatibleVersion;
    }
    return SocketSupport::Ready;
}

SysResult StartSockets() {
    if (StartSocketSupport() != SocketSupport::Ready) {
        return SysResult::Failure("WSAStartup", ErrnoFromWin32(WSASYSNOTREADY), WSASYSNOTREADY);
    }
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

} // namespace

SocketSupport StartSocketSupport() {
    static const SocketSupport state = StartWinsock();
    return state;
}

// SO_EXCLUSIVEADDRUSE keeps a second server from binding a port in use; SO_REUSEADDR would let
// it, unlike on POSIX systems.
SysResult backend::OpenListener(const sockaddr* address, int length, bool v6Only, int backlog, IoHandle& handle) {
    if (SysResult started = StartSockets(); !started) return started;
    SOCKET s = ::socket(address->sa_family, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return LastSocketFailure("socket");
    BOOL one = TRUE;
    DWORD v6OnlyValue = v6Only ? 1 : 0;
    ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one);
    if (address->sa_family == AF_INET6) {
        ::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&v6OnlyValue), sizeof v6OnlyValue);
    }
    if (::bind(s, address, length) != 0) {
        // A port that another socket holds for exclusive use refuses the bind with WSAEACCES,
        // not WSAEADDRINUSE; Windows has no privileged ports, so the port being taken is what
        // the administrator has to read. The Winsock code stays in the result.
        const int code = ::WSAGetLastError();
        SysResult failed = code == WSAEACCES ? SysResult::Failure("bind", EADDRINUSE, code) : LastSocketFailure("bind");
        ::closesocket(s);
        return failed;
    }
    if (!SetNonBlocking(s) || ::listen(s, backlog) != 0) {
        SysResult failed = LastSocketFailure("listen");
        ::closesocket(s);
        return failed;
    }
    handle = static_cast<IoHandle>(s);
    return SysResult::Ok();
}

bool backend::LocalSocketAddress(IoHandle handle, sockaddr_storage& address) {
    int length = sizeof address;
    return ::getsockname(AsSocket(handle), reinterpret_cast<sockaddr*>(&address), &length) == 0;
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
    if (peer != nullptr) *peer = backend::FromSocketAddress(address);
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
    // A reset is not an orderly end: a client process that dies with replies unread resets
    // its connection, and what it was sent must count as unread.
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
