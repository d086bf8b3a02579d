#pragma once
// What each backend supplies to the shared code of platform/, where the logic around a system
// call is the same on every system and only the call differs. Used inside platform/ only.

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "BackendTraits.h"
#include "platform/NetAddress.h"
#include "platform/SysResult.h"

struct sockaddr;
struct sockaddr_storage;

namespace vserver::platform::backend {

// The running executable's full path as the system reports it, or nothing.
std::optional<std::string> ReadExecutablePath();

// Opens a non-blocking socket of the address's family, bound to it, and listening with
// backlog; sets handle on success. The failure names the call that failed ("socket", "bind",
// "listen"). v6Only applies to IPv6 addresses: off lets one socket take IPv4 clients as well.
SysResult OpenListener(const sockaddr* address, int length, bool v6Only, int backlog, IoHandle& handle);

// The address of an accepted peer.
NetAddress FromSocketAddress(const sockaddr_storage& address);
// The local address a socket is bound to; false when the system cannot tell.
bool LocalSocketAddress(IoHandle handle, sockaddr_storage& address);

// Runs work while this process holds the exclusive lock that guards the registry file at path
// against every other writer, and returns work's result. The lock lives in a file of its own
// beside the registry file, since a lock on a file that is replaced by rename would no longer
// exclude anyone. work is given the file to read and replace (where path is a link, the file it
// leads to). With wait false a lock held elsewhere gives LockBusy() at once and work never runs.
SysResult WithRegistryFileLock(const std::string& path, bool wait,
                               const std::function<SysResult(const std::string& file)>& work);

// Replaces the registry file's content: a temporary file beside it, renamed over it.
SysResult ReplaceRegistryFile(const std::string& file, std::string_view text);

} // namespace vserver::platform::backend
