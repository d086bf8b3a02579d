#include "platform/LockedFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/FileSystem.h"

namespace vserver::platform {

namespace {

bool SameFile(int fd, const std::string& path) {
    struct stat opened {};
    struct stat named {};
    if (::fstat(fd, &opened) != 0 || ::stat(path.c_str(), &named) != 0) return false;
    return opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

} // namespace

LockedFile::Outcome LockedFile::TryOpen(std::string_view path) {
    Close();
    // A few rounds are enough: each one only repeats when another holder swapped the file
    // between our open and our lock.
    for (int round = 0; round < 8; ++round) {
        auto target = StoredTarget(path);
        if (!target) {
            failure_ = SysResult::Failure("open", ENOENT);
            return Outcome::Failed;
        }
        int fd = ::open(target->c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0) {
            failure_ = SysResult::Failure("open", errno);
            return Outcome::Failed;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            int error = errno;
            ::close(fd);
            if (error == EWOULDBLOCK) return Outcome::Busy;
            failure_ = SysResult::Failure("flock", error);
            return Outcome::Failed;
        }
        if (SameFile(fd, *target)) {
            fd_ = fd;
            path_ = *target;
            failure_ = SysResult::Ok();
            return Outcome::Locked;
        }
        ::close(fd);
    }
    return Outcome::Busy;
}

SysResult LockedFile::ReadAll(std::string& out) const {
    out.clear();
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return SysResult::Failure("fstat", errno);
    out.resize(static_cast<std::size_t>(st.st_size));
    std::size_t done = 0;
    while (done < out.size()) {
        ssize_t got = ::pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return SysResult::Failure("pread", errno);
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    out.resize(done);
    return SysResult::Ok();
}

LockedFile::Identity LockedFile::identity() const {
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) return {};
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

SysResult LockedFile::Replace(std::string_view content) {
    if (fd_ < 0) return SysResult::Failure("rename", EBADF);
    return ReplaceFileContent(path_, content);
}

SysResult LockedFile::Remove() {
    if (fd_ < 0) return SysResult::Failure("unlink", EBADF);
    if (::unlink(path_.c_str()) != 0) return SysResult::Failure("unlink", errno);
    return SysResult::Ok();
}

void LockedFile::Close() {
    if (fd_ >= 0) {
        ::close(fd_);  // closing the last descriptor releases the lock
        fd_ = -1;
    }
}

} // namespace vserver::platform
