// Reading and replacing the registry file on POSIX systems.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <climits>
#include <cstdlib>

#include "platform/BackendCalls.h"
#include "platform/RegistryFileIo.h"
#include "platform/TemporaryFile.h"

namespace vserver::platform {
namespace {

// Mode of a registry file that did not exist before.
constexpr mode_t kNewFileMode = 0644;

// Closes the descriptor it holds when it goes; closing also releases a flock held through it.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    int Release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void Reset(int fd) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    // Closes now and reports the result, since a failed close can mean lost written data.
    SysResult Close() {
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0) return SysResult::Failure("close", errno);
        return SysResult::Ok();
    }

private:
    int fd_;
};

// Reads straight into text, which grows from the size the file had when the reading began.
SysResult ReadAll(int fd, std::string& text, std::size_t expected) {
    std::size_t got = 0;
    text.resize(expected + 1);
    for (;;) {
        if (got == text.size()) text.resize(text.size() * 2);
        const ssize_t read = ::read(fd, text.data() + got, text.size() - got);
        if (read == 0) break;
        if (read < 0) {
            if (errno == EINTR) continue;
            return SysResult::Failure("read", errno);
        }
        got += static_cast<std::size_t>(read);
    }
    text.resize(got);
    return SysResult::Ok();
}

SysResult WriteAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t put = ::write(fd, text.data(), text.size());
        if (put < 0) {
            if (errno == EINTR) continue;
            return SysResult::Failure("write", errno);
        }
        text.remove_prefix(static_cast<std::size_t>(put));
    }
    return SysResult::Ok();
}

// The file a rename must replace: when the registry path is a symbolic link (an operator may
// keep the file elsewhere), its target, so the link itself survives the update.
std::string ReplaceTarget(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr) return path;
    return resolved;
}

SysResult LockExclusive(const std::string& lockPath, Descriptor& lock, bool wait) {
    const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, kNewFileMode);
    if (fd < 0) return SysResult::Failure("open", errno);
    lock.Reset(fd);
    while (::flock(fd, wait ? LOCK_EX : LOCK_EX | LOCK_NB) != 0) {
        if (!wait && errno == EWOULDBLOCK) return LockBusy();
        if (errno != EINTR) return SysResult::Failure("flock", errno);
    }
    return SysResult::Ok();
}

SysResult WriteTemporary(int fd, std::string_view text, mode_t mode) {
    if (::fchmod(fd, mode) != 0) return SysResult::Failure("fchmod", errno);
    if (SysResult written = WriteAll(fd, text); !written) return written;
    if (::fsync(fd) != 0) return SysResult::Failure("fsync", errno);
    return SysResult::Ok();
}

// Writes text next to target and renames it over target; on any failure the temporary file
// is removed and target is untouched.
SysResult ReplaceFile(const std::string& target, std::string_view text) {
    struct stat existing {};
    const mode_t mode = ::stat(target.c_str(), &existing) == 0 ? (existing.st_mode & 07777) : kNewFileMode;
    // A temporary that a killed writer left is removed before this writer makes its own.
    RemoveStaleTemporaries(target);
    std::string temporary = TemporaryNameFor(target);
    Descriptor fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kNewFileMode));
    if (fd.get() < 0) return SysResult::Failure("open", errno);
    SysResult result = WriteTemporary(fd.get(), text, mode);
    if (result) result = fd.Close();
    if (result && ::rename(temporary.c_str(), target.c_str()) != 0) result = SysResult::Failure("rename", errno);
    if (!result) {
        ::unlink(temporary.c_str());
        return result;
    }
    // The new content is in place and visible to every reader; a folder that cannot be synced
    // only weakens durability across a power loss, so it does not turn the update into a failure.
    (void)SyncFolderOf(target);
    return SysResult::Ok();
}

// A change within this many nanoseconds of reading the stamps could still carry the same
// times: file systems keep times coarser than the clock (some to two seconds).
constexpr std::int64_t kSettledAfter = 2'000'000'000;

void FillStamps(const struct stat& info, RegistryFileStamps& out) {
    out.exists = true;
    out.device = static_cast<std::uint64_t>(info.st_dev);
    out.inode = static_cast<std::uint64_t>(info.st_ino);
    out.size = static_cast<std::uint64_t>(info.st_size);
    out.modified = static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec;
    out.changed = static_cast<std::int64_t>(info.st_ctim.tv_sec) * 1'000'000'000 + info.st_ctim.tv_nsec;
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const std::int64_t nowNs = static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
    out.settled = nowNs - std::max(out.modified, out.changed) > kSettledAfter;
}

} // namespace

SysResult ReadRegistryFileStamps(const std::string& path, RegistryFileStamps& out) {
    out = RegistryFileStamps();
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        if (errno == ENOENT) return SysResult::Ok();
        return SysResult::Failure("stat", errno);
    }
    FillStamps(info, out);
    return SysResult::Ok();
}

SysResult backend::ReadRegistryFileBytes(const std::string& path, std::string& bytes, RegistryFileStamps& before,
                                         RegistryFileStamps& after) {
    bytes.clear();
    before = RegistryFileStamps();
    after = RegistryFileStamps();
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return errno == ENOENT ? SysResult::Ok() : SysResult::Failure("open", errno);
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) return SysResult::Failure("fstat", errno);
    FillStamps(info, before);
    if (SysResult read = ReadAll(fd.get(), bytes, static_cast<std::size_t>(info.st_size)); !read) return read;
    if (::fstat(fd.get(), &info) != 0) return SysResult::Failure("fstat", errno);
    FillStamps(info, after);
    return SysResult::Ok();
}

SysResult backend::TakeRegistryFileLock(const std::string& path, bool wait, IoHandle& lock, std::string& file) {
    file = ReplaceTarget(path);
    Descriptor held;
    if (SysResult locked = LockExclusive(file + ".lock", held, wait); !locked) return locked;
    lock = static_cast<IoHandle>(held.Release());
    return SysResult::Ok();
}

void backend::ReleaseRegistryFileLock(IoHandle lock) { ::close(static_cast<int>(lock)); }

SysResult backend::ReplaceRegistryFile(const std::string& file, std::string_view text) { return ReplaceFile(file, text); }

} // namespace vserver::platform
