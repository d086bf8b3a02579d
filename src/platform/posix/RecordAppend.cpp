#include "platform/RecordAppend.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

#include "platform/DurableWrites.h"

namespace vserver::platform {

namespace {

SysResult WriteAll(int fd, std::string_view text, off_t offset) {
    static const char nul = '\0';
    iovec parts[2] = {{const_cast<char*>(text.data()), text.size()}, {const_cast<char*>(&nul), 1}};
    std::size_t left = text.size() + 1;
    int first = 0;
    while (left > 0) {
        ssize_t n = ::pwritev(fd, parts + first, 2 - first, offset);
        if (n < 0) {
            if (errno == EINTR) continue;
            return SysResult::Failure("pwritev", errno);
        }
        offset += n;
        left -= static_cast<std::size_t>(n);
        auto done = static_cast<std::size_t>(n);
        while (first < 2 && done >= parts[first].iov_len) {
            done -= parts[first].iov_len;
            ++first;
        }
        if (first < 2) {
            parts[first].iov_base = static_cast<char*>(parts[first].iov_base) + done;
            parts[first].iov_len -= done;
        }
    }
    return SysResult::Ok();
}

// True when the locked descriptor still is the file the path names. A queue collection in
// this or another process replaces or removes the file by its name while holding the lock; an
// append that waited for that lock must then start again on the new file, or its record would
// go into a file nobody reads any more.
bool StillNamedBy(int fd, const std::string& path) {
    struct stat opened{};
    struct stat named{};
    if (::fstat(fd, &opened) != 0 || ::stat(path.c_str(), &named) != 0) return false;
    return opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

// Other holders keep the lock only for one append or one queue rewrite, so waiting a little is
// enough; a holder that keeps it longer (a stuck process) must not stop the caller, so the
// wait is bounded and the append then fails like an open that is refused. The event loop never
// waits at all: it asks with LockWait::None and tries again later.
SysResult LockFor(int fd, LockWait wait) {
    const int attempts = wait == LockWait::Bounded ? 250 : 1;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (attempt > 0) {
            timespec pause{0, 1000 * 1000};
            ::nanosleep(&pause, nullptr);
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return SysResult::Ok();
        if (errno != EWOULDBLOCK && errno != EINTR) return SysResult::Failure("flock", errno);
    }
    return LockBusy();
}

// Writes text + NUL over the file's last byte. On failure (a full disk, the size limit) the
// file gets its old length and last byte back, so no torn record stays behind.
SysResult AppendLocked(int fd, std::string_view text, off_t& oldSize) {
    struct stat st{};
    if (::fstat(fd, &st) != 0) return SysResult::Failure("fstat", errno);
    oldSize = st.st_size;
    off_t offset = st.st_size > 0 ? st.st_size - 1 : 0;
    char lastByte = '\0';
    if (st.st_size > 0 && ::pread(fd, &lastByte, 1, offset) != 1) return SysResult::Failure("pread", errno);
    SysResult result = WriteAll(fd, text, offset);
    if (result) return result;
    // Cutting back frees what the failed write took, and the old last byte lies inside the old
    // length, so restoring it needs no new space.
    (void)!::ftruncate(fd, st.st_size);
    if (st.st_size > 0) (void)!::pwrite(fd, &lastByte, 1, offset);
    return result;
}

// Appends; with unsynced, the descriptor is handed over (its lock released) instead of closed,
// so the caller can sync what was written.
SysResult Append(const std::string& path, std::string_view text, AppendOpen how, LockWait wait,
                 UnsyncedWrite* unsynced) {
    // Read and write: the last byte is read back before it is overwritten, so a failed append
    // can restore it.
    int flags = O_RDWR | O_CLOEXEC | (how == AppendOpen::CreateIfMissing ? O_CREAT : 0);
    // Each round only repeats when another holder swapped the file meanwhile. A file that was
    // removed by then (a collection took every record) is created anew, as a first append would.
    for (int round = 0; round < 16; ++round) {
        if (round > 0) flags |= O_CREAT;
        int fd = ::open(path.c_str(), flags, 0644);
        if (fd < 0) return SysResult::Failure("open", errno);
        // The lock spans finding the end and writing, so another process's record can neither
        // land between the two nor be overwritten by our step back.
        if (SysResult locked = LockFor(fd, wait); !locked) {
            ::close(fd);
            return locked;
        }
        if (!StillNamedBy(fd, path)) {
            ::close(fd);
            continue;
        }
        off_t oldSize = 0;
        SysResult result = AppendLocked(fd, text, oldSize);
        if (!result || unsynced == nullptr) {
            ::close(fd);
            return result;
        }
        (void)::flock(fd, LOCK_UN);
        *unsynced = UnsyncedWrite{};
        unsynced->file = static_cast<IoHandle>(fd);
        unsynced->target = path;
        // An empty file may have just been created; its entry must reach the disk too.
        unsynced->syncFolder = oldSize == 0;
        return result;
    }
    return SysResult::Failure("open", EAGAIN);
}

} // namespace

SysResult AppendNulTerminated(const std::string& path, std::string_view text, AppendOpen how, LockWait wait) {
    return Append(path, text, how, wait, nullptr);
}

SysResult AppendNulTerminatedUnsynced(const std::string& path, std::string_view text, AppendOpen how,
                                      LockWait wait, UnsyncedWrite& unsynced) {
    return Append(path, text, how, wait, &unsynced);
}

} // namespace vserver::platform
