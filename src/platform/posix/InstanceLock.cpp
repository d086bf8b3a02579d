#include "platform/InstanceLock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace vserver::platform {

namespace {

flock WholeFile(short type) {
    flock range{};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = 0;
    range.l_len = 0;
    return range;
}

// The holder as the system reports it, else as the file says (a holder in another process
// namespace is reported as 0).
long HolderOf(int fd) {
    flock range = WholeFile(F_WRLCK);
    if (::fcntl(fd, F_GETLK, &range) == 0 && range.l_type != F_UNLCK && range.l_pid > 0) return range.l_pid;
    char text[32] = {};
    ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    return n > 0 ? std::strtol(text, nullptr, 10) : 0;
}

} // namespace

long CurrentProcessId() { return static_cast<long>(::getpid()); }

InstanceLockResult AcquireInstanceLock(const std::string& path) {
    InstanceLockResult result;
    // A record lock, not flock(): the system can name the holder of a record lock, and the
    // process never opens this file anywhere else, so no other close releases it early.
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        result.failure = SysResult::Failure("open", errno);
        return result;
    }
    flock range = WholeFile(F_WRLCK);
    if (::fcntl(fd, F_SETLK, &range) != 0) {
        int error = errno;
        if (error == EAGAIN || error == EACCES) {
            result.outcome = InstanceLockResult::Outcome::Busy;
            result.holderPid = HolderOf(fd);
        } else {
            result.failure = SysResult::Failure("fcntl", error);
        }
        ::close(fd);
        return result;
    }
    const std::string pid = std::to_string(CurrentProcessId()) + "\n";
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
        // The lock holds all the same; only the id a second server would name is missing.
        result.failure = SysResult::Failure("write", errno);
    }
    // The descriptor stays open, and so the lock held, until the process ends.
    result.outcome = InstanceLockResult::Outcome::Held;
    return result;
}

InstanceLockState QueryInstanceLock(const std::string& path) {
    InstanceLockState state;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return state;
    flock range = WholeFile(F_WRLCK);
    if (::fcntl(fd, F_GETLK, &range) == 0 && range.l_type != F_UNLCK) {
        state.held = true;
        state.holderPid = HolderOf(fd);
        struct stat info {};
        if (::fstat(fd, &info) == 0) state.since = info.st_mtime;
    }
    ::close(fd);
    return state;
}

} // namespace vserver::platform
