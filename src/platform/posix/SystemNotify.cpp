#include "platform/SystemNotify.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace vserver::platform {

namespace {

// A manager that stops reading must not hang the server; one second is long enough for a
// healthy manager and short enough not to matter to clients.
constexpr time_t kSendTimeoutSeconds = 1;

SysResult ParseAddress(const std::string& address, sockaddr_un& out, socklen_t& length) {
    std::memset(&out, 0, sizeof out);
    out.sun_family = AF_UNIX;
    if (address.size() < 2) return SysResult::Failure("NOTIFY_SOCKET", EINVAL);
    if (address[0] != '/' && address[0] != '@') return SysResult::Failure("NOTIFY_SOCKET", EAFNOSUPPORT);
    // A path needs room for its terminating NUL; an abstract name takes the whole array.
    std::size_t limit = address[0] == '/' ? sizeof out.sun_path - 1 : sizeof out.sun_path;
    if (address.size() > limit) return SysResult::Failure("NOTIFY_SOCKET", ENAMETOOLONG);
    std::memcpy(out.sun_path, address.data(), address.size());
    if (address[0] == '@') out.sun_path[0] = '\0';
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address.size() + (address[0] == '/' ? 1 : 0));
    return SysResult::Ok();
}

} // namespace

std::optional<std::string> NotifyAddressFromEnvironment() {
    const char* value = std::getenv("NOTIFY_SOCKET");
    if (value == nullptr || *value == '\0') return std::nullopt;
    return std::string(value);
}

NotifyChannel::~NotifyChannel() { Close(); }

void NotifyChannel::Close() {
    if (handle_ >= 0) ::close(handle_);
    handle_ = -1;
}

SysResult NotifyChannel::Open(const std::string& address) {
    Close();
    sockaddr_un target{};
    socklen_t length = 0;
    SysResult parsed = ParseAddress(address, target, length);
    if (!parsed) return parsed;
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return SysResult::Failure("socket", errno);
    timeval timeout{kSendTimeoutSeconds, 0};
    (void)::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&target), length) != 0) {
        int error = errno;
        ::close(fd);
        return SysResult::Failure("connect", error);
    }
    handle_ = fd;
    return SysResult::Ok();
}

namespace {

SysResult SendDatagram(std::intptr_t handle, std::string_view assignments, int flags) {
    if (handle < 0) return SysResult::Failure("send", EBADF);
    for (;;) {
        ssize_t sent = ::send(static_cast<int>(handle), assignments.data(), assignments.size(), MSG_NOSIGNAL | flags);
        if (sent >= 0) return SysResult::Ok();
        if (errno != EINTR) return SysResult::Failure("send", errno);
    }
}

} // namespace

SysResult NotifyChannel::Send(std::string_view assignments) const { return SendDatagram(handle_, assignments, 0); }

SysResult NotifyChannel::SendWithoutWaiting(std::string_view assignments) const {
    return SendDatagram(handle_, assignments, MSG_DONTWAIT);
}

} // namespace vserver::platform
