// The blocking client connection, written once over the socket calls of SocketCalls.h, which
// each system provides in its own folder.

#include <chrono>
#include <string>
#include <utility>

#include "SocketCalls.h"
#include "client/ProtocolClient.h"

namespace vserver::client {

namespace {

sockets::Native AsNative(std::intptr_t handle) { return static_cast<sockets::Native>(handle); }

// Binds s to the numeric address local (any port), so the connection comes from it.
bool BindLocal(sockets::Native s, int family, const std::string& local) {
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE;
    addrinfo* found = nullptr;
    if (::getaddrinfo(local.c_str(), "0", &hints, &found) != 0) {
        sockets::SetLastError(sockets::kAddressUnavailable);
        return false;
    }
    const bool bound = sockets::Bind(s, *found);
    const int error = sockets::LastError();
    ::freeaddrinfo(found);
    sockets::SetLastError(error);
    return bound;
}

// Connects s to address within timeout; 0, or the error the attempt ended with.
int ConnectWithin(sockets::Native s, const addrinfo& address, std::chrono::milliseconds timeout) {
    if (sockets::Connect(s, address)) return 0;
    const int error = sockets::LastError();
    if (!sockets::ConnectPending(error)) return error;
    const int ready = sockets::WaitWritable(s, static_cast<int>(timeout.count()));
    if (ready == 0) return sockets::kTimedOut;
    if (ready < 0) return sockets::LastError();
    return sockets::ConnectError(s);
}

} // namespace

std::string LocalHostName() {
    char name[256] = {};
    if (sockets::HostName(name, sizeof name - 1) != 0 || name[0] == '\0') return {};
    return name;
}

Connection::~Connection() { Close(); }

Connection::Connection(Connection&& other) noexcept
    : socket_(std::exchange(other.socket_, -1)), peerClosed_(other.peerClosed_), buffer_(std::move(other.buffer_)) {}

Connection& Connection::operator=(Connection&& other) noexcept {
    if (this != &other) {
        Close();
        socket_ = std::exchange(other.socket_, -1);
        peerClosed_ = other.peerClosed_;
        buffer_ = std::move(other.buffer_);
    }
    return *this;
}

void Connection::Close() {
    if (socket_ != -1) sockets::Close(AsNative(socket_));
    socket_ = -1;
}

void Connection::Finish(std::chrono::milliseconds timeout) {
    if (socket_ == -1) return;
    sockets::EndSending(AsNative(socket_));
    buffer_.clear();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!peerClosed_ && std::chrono::steady_clock::now() < deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (ReadMessage(left)) buffer_.clear();
    }
    Close();
}

bool Connection::Open(const std::string& host, int port, std::chrono::milliseconds timeout, std::string* error,
                      const std::string& localAddress) {
    Close();
    peerClosed_ = false;
    buffer_.clear();
    const std::string service = std::to_string(port);
    if (!sockets::Start()) {
        if (error) *error = "cannot connect to " + host + ":" + service + ": the socket subsystem cannot be started";
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0) {
        if (error) *error = "cannot resolve " + host + ": " + sockets::ResolveErrorText(rc);
        return false;
    }
    std::string lastError = "no address";
    for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
        sockets::Native s = sockets::OpenStream(*a);
        if (s == sockets::kNone) continue;
        if (!localAddress.empty() && !BindLocal(s, a->ai_family, localAddress)) {
            lastError = "cannot bind to " + localAddress + ": " + sockets::ErrorText(sockets::LastError());
            sockets::Close(s);
            continue;
        }
        if (const int failed = ConnectWithin(s, *a, timeout); failed != 0) {
            lastError = sockets::ErrorText(failed);
            sockets::Close(s);
            continue;
        }
        sockets::SetNoDelay(s);
        socket_ = static_cast<std::intptr_t>(s);
        break;
    }
    ::freeaddrinfo(found);
    if (socket_ == -1 && error) *error = "cannot connect to " + host + ":" + service + ": " + lastError;
    return socket_ != -1;
}

bool Connection::SendRaw(std::string_view bytes) {
    while (!bytes.empty()) {
        const long long n = sockets::SendSome(AsNative(socket_), bytes.data(), bytes.size());
        if (n > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        const int error = n < 0 ? sockets::LastError() : 0;
        if (sockets::WouldBlock(error)) {
            sockets::WaitWritable(AsNative(socket_), 1000);
            continue;
        }
        if (sockets::Interrupted(error)) continue;
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
        if (socket_ == -1 || peerClosed_) return std::nullopt;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() < 0) return std::nullopt;
        const int ready = sockets::WaitReadable(AsNative(socket_), static_cast<int>(left.count()));
        if (ready < 0 && sockets::Interrupted(sockets::LastError())) continue;
        if (ready <= 0) return std::nullopt;
        char chunk[65536];
        const long long n = sockets::ReceiveSome(AsNative(socket_), chunk, sizeof chunk);
        if (n > 0) {
            buffer_.append(chunk, static_cast<std::size_t>(n));
        } else if (n == 0) {
            peerClosed_ = true;
        } else if (const int error = sockets::LastError(); !sockets::WouldBlock(error) && !sockets::Interrupted(error)) {
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
