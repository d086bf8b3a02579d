#include "platform/RecordAppend.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

#include "platform/Beneath.h"
#include "platform/DurableWrites.h"
#include "platform/common/LockRetry.h"
#include "platform/posix/BeneathFolder.h"
#include "platform/posix/DiskNames.h"

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

// The file an append opens: name in folder (AT_FDCWD: a path as given). In a place below a
// folder the name is never followed as a link.
struct AppendTarget {
    int folder = AT_FDCWD;
    std::string name;
    const std::string& path;   // as stored, for the unsynced write
    bool noFollow = false;
};

// True when the locked descriptor still is the file the path names. A queue collection in
// this or another process replaces or removes the file by its name while holding the lock; an
// append that waited for that lock must then start again on the new file, or its record would
// go into a file nobody reads any more.
// opened receives the open file's status, which the append goes on with.
bool StillNamedBy(int fd, const AppendTarget& target, struct stat& opened) {
    struct stat named{};
    const int follow = target.noFollow ? AT_SYMLINK_NOFOLLOW : 0;
    if (::fstat(fd, &opened) != 0 || ::fstatat(target.folder, target.name.c_str(), &named, follow) != 0) return false;
    return opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

// One attempt at the lock without waiting; an interrupted one counts as busy and is tried again.
SysResult TryLock(int fd) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return SysResult::Ok();
    if (errno == EWOULDBLOCK || errno == EINTR) return LockBusy();
    return SysResult::Failure("flock", errno);
}

// Writes text + NUL over the file's last byte. On failure (a full disk, the size limit) the
// file gets its old length and last byte back, so no torn record stays behind.
// st is the file's status taken under the lock.
SysResult AppendLocked(int fd, std::string_view text, const struct stat& st) {
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
SysResult Append(const AppendTarget& target, std::string_view text, AppendOpen how, LockWait wait,
                 UnsyncedWrite* unsynced) {
    // Read and write: the last byte is read back before it is overwritten, so a failed append
    // can restore it.
    int flags = O_RDWR | O_CLOEXEC | (how == AppendOpen::CreateIfMissing ? O_CREAT : 0) | (target.noFollow ? O_NOFOLLOW : 0);
    // Each round only repeats when another holder swapped the file meanwhile. A file that was
    // removed by then (a collection took every record) is created anew, as a first append would.
    for (int round = 0; round < 16; ++round) {
        if (round > 0) flags |= O_CREAT;
        int fd = ::openat(target.folder, target.name.c_str(), flags, 0644);
        if (fd < 0) return SysResult::Failure("open", errno);
        // The lock spans finding the end and writing, so another process's record can neither
        // land between the two nor be overwritten by our step back.
        if (SysResult locked = LockWithin(wait, [fd] { return TryLock(fd); }); !locked) {
            ::close(fd);
            return locked;
        }
        struct stat opened{};
        if (!StillNamedBy(fd, target, opened)) {
            ::close(fd);
            continue;
        }
        SysResult result = AppendLocked(fd, text, opened);
        if (!result || unsynced == nullptr) {
            ::close(fd);
            return result;
        }
        (void)::flock(fd, LOCK_UN);
        *unsynced = UnsyncedWrite{};
        unsynced->file = static_cast<IoHandle>(fd);
        unsynced->target = target.path;
        // An empty file may have just been created; its entry must reach the disk too.
        unsynced->syncFolder = opened.st_size == 0;
        if (unsynced->syncFolder && target.folder != AT_FDCWD) {
            unsynced->folder = static_cast<IoHandle>(::openat(target.folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        }
        return result;
    }
    return SysResult::Failure("open", EAGAIN);
}

} // namespace

SysResult AppendNulTerminated(const std::string& path, std::string_view text, AppendOpen how, LockWait wait) {
    return Append({AT_FDCWD, names::StoredPath(path), path}, text, how, wait, nullptr);
}

SysResult AppendNulTerminatedUnsynced(const std::string& path, std::string_view text, AppendOpen how,
                                      LockWait wait, UnsyncedWrite& unsynced) {
    return Append({AT_FDCWD, names::StoredPath(path), path}, text, how, wait, &unsynced);
}

SysResult AppendNulTerminated(const PlaceBeneath& place, std::string_view text, AppendOpen how, LockWait wait,
                              UnsyncedWrite* unsynced) {
    if (place.outcome != PlaceBeneath::Outcome::Found && place.outcome != PlaceBeneath::Outcome::Missing) {
        return SysResult::Failure("open", place.outcome == PlaceBeneath::Outcome::Outside ? kOutsideError : ENOENT);
    }
    return Append({beneath::FolderFd(place), beneath::NameIn(place), place.path, true}, text, how, wait, unsynced);
}

} // namespace vserver::platform
