#pragma once
// The channel on which a service tells its service manager how it is doing. Under systemd it is
// the notify protocol: newline-separated "KEY=value" assignments in one datagram sent to the
// AF_UNIX socket named in NOTIFY_SOCKET (a path, or "@name" for the abstract namespace).
// NotifyChannel owns that socket from Open until it is destroyed.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/SysResult.h"

namespace vserver::platform {

// The address the service manager handed this process, or nothing when it was not started by a
// manager that listens for notifications.
std::optional<std::string> NotifyAddressFromEnvironment();

class NotifyChannel {
public:
    NotifyChannel() = default;
    ~NotifyChannel();
    NotifyChannel(const NotifyChannel&) = delete;
    NotifyChannel& operator=(const NotifyChannel&) = delete;

    // Connects to the manager's socket. Fails for an address that is empty, relative, too long
    // or of a kind this channel does not speak, and when nobody listens there.
    SysResult Open(const std::string& address);
    bool isOpen() const { return handle_ != -1; }

    // Sends one notification ("READY=1\nSTATUS=Serving").
    SysResult Send(std::string_view assignments) const;
    // The same without waiting: fails with EAGAIN when the manager's queue is full.
    SysResult SendWithoutWaiting(std::string_view assignments) const;

    void Close();

private:
    std::intptr_t handle_ = -1;  // wide enough for any backend's socket handle
};

} // namespace vserver::platform
