#include "client/ProtocolClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vserver::client {

std::string EncodeRequest(const Request& request) {
    std::string out;
    out += std::to_string(request.id);
    out += kFieldSeparator;
    out += kFieldSeparator;
    out += kFieldSeparator;
    out += std::to_string(request.type);
    out += kFieldSeparator;
    out += request.label;
    out += kFieldSeparator;
    out += request.account;
    out += kFieldSeparator;
    out += request.argument1;
    out += kFieldSeparator;
    out += request.argument2;
    if (request.clientKind || !request.version.empty() || !request.detail.empty()) {
        out += kSectionSeparator;
        if (request.clientKind) out += std::to_string(*request.clientKind);
        out += kSectionSeparator;
        out += request.version;
        out += kSectionSeparator;
        out += request.detail;
    }
    out += kMessageEnd;
    out += '\n';
    return out;
}

std::vector<std::string> SplitFields(std::string_view message, char separator) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        std::size_t at = message.find(separator, start);
        if (at == std::string_view::npos) {
            fields.emplace_back(message.substr(start));
            return fields;
        }
        fields.emplace_back(message.substr(start, at - start));
        start = at + 1;
    }
}

std::optional<char> FirstReservedByte(std::string_view text) {
    for (char c : text) {
        if (c == kMessageEnd || c == kSectionSeparator || c == kFieldSeparator || c == kItemSeparator) return c;
    }
    return std::nullopt;
}

std::string EncodeMessage(const std::vector<std::string_view>& fields) {
    std::string out;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) out += kFieldSeparator;
        out += fields[i];
    }
    out += kMessageEnd;
    out += '\n';
    return out;
}

std::string_view FieldsFrom(std::string_view message, std::size_t first) {
    if (first == 0) return {};
    std::size_t start = 0;
    for (std::size_t field = 1; field < first; ++field) {
        std::size_t at = message.find(kFieldSeparator, start);
        if (at == std::string_view::npos) return {};
        start = at + 1;
    }
    return message.substr(start);
}

Reply ParseReply(std::string_view message) {
    Reply reply;
    std::vector<std::string> fields = SplitFields(message);
    reply.fieldCount = fields.size();
    reply.code = fields[0];
    if (fields.size() > 1) reply.id = fields[1];
    if (fields.size() > 2) reply.type = fields[2];
    reply.result = std::string(FieldsFrom(message, 4));
    reply.text = std::string(message);
    return reply;
}

std::optional<std::string> ParseHex(std::string_view hex) {
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::string bytes;
    int high = -1;
    for (char c : hex) {
        if (c == ' ') continue;
        int value = digit(c);
        if (value < 0) return std::nullopt;
        if (high < 0) {
            high = value;
        } else {
            bytes += static_cast<char>(high * 16 + value);
            high = -1;
        }
    }
    if (high >= 0) return std::nullopt;
    return bytes;
}

std::string ToHex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out += kDigits[c >> 4];
        out += kDigits[c & 15];
    }
    return out;
}

Connection::~Connection() { Close(); }

Connection::Connection(Connection&& other) noexcept
    : fd_(other.fd_), peerClosed_(other.peerClosed_), buffer_(std::move(other.buffer_)) {
    other.fd_ = -1;
}

Connection& Connection::operator=(Connection&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = other.fd_;
        peerClosed_ = other.peerClosed_;
        buffer_ = std::move(other.buffer_);
        other.fd_ = -1;
    }
    return *this;
}

void Connection::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

namespace {

// Binds fd to the numeric address local (any port), so the connection comes from it.
bool BindLocal(int fd, int family, const std::string& local) {
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE;
    addrinfo* found = nullptr;
    if (::getaddrinfo(local.c_str(), "0", &hints, &found) != 0) {
        errno = EADDRNOTAVAIL;
        return false;
    }
    bool bound = ::bind(fd, found->ai_addr, found->ai_addrlen) == 0;
    ::freeaddrinfo(found);
    return bound;
}

} // namespace

bool Connection::Open(const std::string& host, int port, std::chrono::milliseconds timeout, std::string* error,
                      const std::string& localAddress) {
    Close();
    peerClosed_ = false;
    buffer_.clear();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    std::string service = std::to_string(port);
    if (int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0) {
        if (error) *error = "cannot resolve " + host + ": " + ::gai_strerror(rc);
        return false;
    }
    std::string lastError = "no address";
    for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
        int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) continue;
        if (!localAddress.empty() && !BindLocal(fd, a->ai_family, localAddress)) {
            lastError = "cannot bind to " + localAddress + ": " + std::strerror(errno);
            ::close(fd);
            continue;
        }
        int rc = ::connect(fd, a->ai_addr, a->ai_addrlen);
        if (rc != 0 && errno == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            rc = ::poll(&p, 1, static_cast<int>(timeout.count()));
            if (rc == 1) {
                int soError = 0;
                socklen_t len = sizeof soError;
                ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len);
                rc = soError == 0 ? 0 : -1;
                errno = soError;
            } else {
                if (rc == 0) errno = ETIMEDOUT;
                rc = -1;
            }
        }
        if (rc == 0) {
            int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            fd_ = fd;
            break;
        }
        lastError = std::strerror(errno);
        ::close(fd);
    }
    ::freeaddrinfo(found);
    if (fd_ < 0 && error) *error = "cannot connect to " + host + ":" + service + ": " + lastError;
    return fd_ >= 0;
}

bool Connection::SendRaw(std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd_, POLLOUT, 0};
            ::poll(&p, 1, 1000);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return false;
    }
    return true;
}

std::optional<std::string> Connection::ReadMessage(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        std::size_t end = buffer_.find(kMessageEnd);
        if (end != std::string::npos) {
            std::string message = buffer_.substr(0, end);
            std::size_t consumed = end + 1;
            if (consumed < buffer_.size() && buffer_[consumed] == '\n') ++consumed;
            buffer_.erase(0, consumed);
            return message;
        }
        if (fd_ < 0 || peerClosed_) return std::nullopt;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() < 0) return std::nullopt;
        pollfd p{fd_, POLLIN, 0};
        int rc = ::poll(&p, 1, static_cast<int>(left.count()));
        if (rc < 0 && errno == EINTR) continue;
        if (rc <= 0) return std::nullopt;
        char chunk[65536];
        ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n > 0) {
            buffer_.append(chunk, static_cast<std::size_t>(n));
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            peerClosed_ = true;
        }
    }
}

bool Connection::ExpectSilence(std::chrono::milliseconds timeout) {
    if (buffer_.find(kMessageEnd) != std::string::npos) return false;
    auto message = ReadMessage(timeout);
    return !message && !peerClosed_;
}

} // namespace vserver::client
