#pragma once
// The socket calls the client connection makes, on Windows (Winsock 2). Each system has its own
// copy of this header with the same names; the build puts the chosen one on the include path.

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <string>

namespace vserver::client::sockets {

using Native = SOCKET;
inline constexpr Native kNone = INVALID_SOCKET;

// Winsock serves a process only once started; it stays up until the process ends.
inline bool Start() {
    static const bool started = [] {
        WSADATA data{};
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

inline int LastError() { return ::WSAGetLastError(); }
inline void SetLastError(int error) { ::WSASetLastError(error); }
inline bool WouldBlock(int error) { return error == WSAEWOULDBLOCK; }
// Winsock has no interrupted calls on non-blocking sockets.
inline bool Interrupted(int) { return false; }
// A non-blocking connect that is still under way reports that it would block.
inline bool ConnectPending(int error) { return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS; }
inline constexpr int kTimedOut = WSAETIMEDOUT;
inline constexpr int kAddressUnavailable = WSAEADDRNOTAVAIL;

inline std::string ErrorText(int error) {
    char text[512] = {};
    const DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                          static_cast<DWORD>(error), 0, text, sizeof text, nullptr);
    std::string out(text, length);
    // The system's texts end in a full stop and a line break; one line is wanted here.
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ' || out.back() == '.')) out.pop_back();
    if (out.empty()) out = "error " + std::to_string(error);
    return out;
}
inline std::string ResolveErrorText(int code) { return ErrorText(code); }

inline Native OpenStream(const addrinfo& address) {
    Native s = ::socket(address.ai_family, address.ai_socktype, address.ai_protocol);
    u_long on = 1;
    if (s != INVALID_SOCKET && ::ioctlsocket(s, FIONBIO, &on) != 0) {
        ::closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}
inline void Close(Native s) { ::closesocket(s); }
// Tells the peer that nothing more will be sent; reading goes on.
inline void EndSending(Native s) { ::shutdown(s, SD_SEND); }
inline bool Bind(Native s, const addrinfo& address) {
    return ::bind(s, address.ai_addr, static_cast<int>(address.ai_addrlen)) == 0;
}
inline bool Connect(Native s, const addrinfo& address) {
    return ::connect(s, address.ai_addr, static_cast<int>(address.ai_addrlen)) == 0;
}
// The outcome of a connect that was pending: 0, or the error it ended with.
inline int ConnectError(Native s) {
    int error = 0;
    int length = sizeof error;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0) return ::WSAGetLastError();
    return error;
}
inline void SetNoDelay(Native s) {
    BOOL one = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
}

// Waits until the socket can be read; 1 when it can, 0 after timeoutMs, -1 on failure.
inline int WaitReadable(Native s, int timeoutMs) {
    WSAPOLLFD p{};
    p.fd = s;
    p.events = POLLRDNORM;
    return ::WSAPoll(&p, 1, timeoutMs);
}

// Waits until the socket can be written, or a pending connect has ended either way. This is
// select, not WSAPoll: some Windows versions' WSAPoll never reports a refused connect, only the
// timeout.
inline int WaitWritable(Native s, int timeoutMs) {
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    return ::select(0, nullptr, &writable, &failed, &limit);
}

// Windows raises no signal for a peer that has gone; the failed send reports it.
inline long long SendSome(Native s, const char* data, std::size_t length) {
    return ::send(s, data, length > 0x7fffffff ? 0x7fffffff : static_cast<int>(length), 0);
}
inline long long ReceiveSome(Native s, char* buffer, std::size_t capacity) {
    return ::recv(s, buffer, capacity > 0x7fffffff ? 0x7fffffff : static_cast<int>(capacity), 0);
}

inline int HostName(char* name, std::size_t capacity) {
    if (!Start()) return -1;
    return ::gethostname(name, static_cast<int>(capacity));
}

} // namespace vserver::client::sockets
