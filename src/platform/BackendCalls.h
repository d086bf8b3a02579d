#pragma once
// What each backend supplies to the shared code of platform/, where the logic around a system
// call is the same on every system and only the call differs. Used inside platform/ only.

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/RegistryFileIo.h"
#include "platform/SysResult.h"
#include "platform/SystemTraits.h"
#include "platform/common/NetAddress.h"

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

// Takes the exclusive lock that guards the registry file at path against every other writer
// into lock, which ReleaseRegistryFileLock gives back. The lock lives in a file of its own
// beside the registry file, since a lock on a file that is replaced by rename would no longer
// exclude anyone. file is set to the file to read and replace (where path is a link, the file
// it leads to). With wait false a lock held elsewhere gives LockBusy() at once.
SysResult TakeRegistryFileLock(const std::string& path, bool wait, IoHandle& lock, std::string& file);
void ReleaseRegistryFileLock(IoHandle lock);

// Reads the whole registry file at path. before and after are its stamps as the reading began
// and as it ended, so a change made meanwhile shows; a missing file is no error (exists false,
// no bytes).
SysResult ReadRegistryFileBytes(const std::string& path, std::string& bytes, RegistryFileStamps& before,
                                RegistryFileStamps& after);

// Replaces the registry file's content: a temporary file beside it, renamed over it.
SysResult ReplaceRegistryFile(const std::string& file, std::string_view text);

// The registry file's lock while this process holds it; given back when this goes, unless
// handed on to whatever must release it later.
class HeldRegistryLock {
public:
    HeldRegistryLock() = default;
    ~HeldRegistryLock() {
        if (handle_ != kInvalidHandle) ReleaseRegistryFileLock(handle_);
    }
    HeldRegistryLock(const HeldRegistryLock&) = delete;
    HeldRegistryLock& operator=(const HeldRegistryLock&) = delete;

    SysResult Take(const std::string& path, bool wait) { return TakeRegistryFileLock(path, wait, handle_, file_); }
    // The file to read and replace while the lock is held.
    const std::string& file() const { return file_; }
    IoHandle HandOn() {
        const IoHandle handle = handle_;
        handle_ = kInvalidHandle;
        return handle;
    }

private:
    IoHandle handle_ = kInvalidHandle;
    std::string file_;
};

} // namespace vserver::platform::backend
