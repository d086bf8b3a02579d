// Windows services report their state through the service control manager, not through a
// notification socket: no manager ever hands this process a notify address, so the channel
// is never opened.

#include "platform/SystemNotify.h"

#include <windows.h>

#include <cerrno>

namespace vserver::platform {

std::optional<std::string> NotifyAddressFromEnvironment() { return std::nullopt; }

NotifyChannel::~NotifyChannel() { Close(); }

void NotifyChannel::Close() { handle_ = -1; }

SysResult NotifyChannel::Open(const std::string&) {
    return SysResult::Failure("NOTIFY_SOCKET", EAFNOSUPPORT, ERROR_NOT_SUPPORTED);
}

SysResult NotifyChannel::Send(std::string_view) const {
    return SysResult::Failure("send", EBADF, ERROR_INVALID_HANDLE);
}

} // namespace vserver::platform
