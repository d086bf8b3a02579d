#pragma once
// The socket calls the client connection makes, on POSIX systems. Each system has its own copy
// of this header with the same names; the build puts the chosen one on the include path.

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace vserver::client::sockets {

using Native = int;
inline constexpr Native kNone = -1;

// Nothing to start on POSIX systems.
inline bool Start() { return true; }

inline int LastError() { return errno; }
inline void SetLastError(int error) { errno = error; }
inline bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }
inline bool Interrupted(int error) { return error == EINTR; }
// A non-blocking connect that is still under way.
inline bool ConnectPending(int error) { return error == EINPROGRESS; }
inline constexpr int kTimedOut = ETIMEDOUT;
inline constexpr int kAddressUnavailable = EADDRNOTAVAIL;
inline std::string ErrorText(int error) { return std::strerror(error); }
inline std::string ResolveErrorText(int code) { return ::gai_strerror(code); }

inline Native OpenStream(const addrinfo& address) {
    return ::socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, address.ai_protocol);
}
inline void Close(Native s) { ::close(s); }
// Tells the peer that nothing more will be sent; reading goes on.
inline void EndSending(Native s) { ::shutdown(s, SHUT_WR); }
inline bool Bind(Native s, const addrinfo& address) { return ::bind(s, address.ai_addr, address.ai_addrlen) == 0; }
inline bool Connect(Native s, const addrinfo& address) { return ::connect(s, address.ai_addr, address.ai_addrlen) == 0; }
// The outcome of a connect that was pending: 0, or the error it ended with.
inline int ConnectError(Native s) {
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
    return error;
}
inline void SetNoDelay(Native s) {
    int one = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// Waits until the socket can be read; 1 when it can, 0 after timeoutMs, -1 on failure.
inline int WaitReadable(Native s, int timeoutMs) {
    pollfd p{s, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs);
}

// Waits until the socket can be written, or a pending connect has ended either way.
inline int WaitWritable(Native s, int timeoutMs) {
    pollfd p{s, POLLOUT, 0};
    return ::poll(&p, 1, timeoutMs);
}

// A peer that has gone must not end the process with SIGPIPE: the failed send reports it.
inline long long SendSome(Native s, const char* data, std::size_t length) {
    return ::send(s, data, length, MSG_NOSIGNAL);
}
inline long long ReceiveSome(Native s, char* buffer, std::size_t capacity) { return ::recv(s, buffer, capacity, 0); }

inline int HostName(char* name, std::size_t capacity) { return ::gethostname(name, capacity); }

} // namespace vserver::client::sockets
