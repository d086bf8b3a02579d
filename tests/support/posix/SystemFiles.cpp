// The Linux side of the shared test helpers: permission bits, the immutable flag, and a second
// process holding a lock.

#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

#include "support/SystemFiles.h"
#include "support/TestFiles.h"

namespace vserver::test {

namespace fs = std::filesystem;

std::string NativePath(std::string path) { return path; }

std::string NewTemporaryFolder() {
    std::string pattern = (fs::temp_directory_path() / "vserver-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

void MakeRemovable(const std::string& path) {
    std::error_code ignored;
    SetImmutable(path, false);
    fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ignored);
}

bool PathExists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

bool IsWritable(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && (st.st_mode & S_IWUSR) != 0;
}

void RemoveWritePermission(const std::string& path) {
    fs::permissions(path, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
}

bool SetImmutable(const std::string& path, bool immutable) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    int flags = 0;
    bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (ok) {
        flags = immutable ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        ok = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    ::close(fd);
    return ok;
}

LockHolder::LockHolder(const std::string& path) {
    int ready[2];
    if (::pipe(ready) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT, 0666);
        // Both kinds of lock, so that either server sees the file busy: the Linux server takes
        // flock locks, and Wine's LockFileEx sees record (fcntl) locks but not flock ones.
        struct flock record {};
        record.l_type = F_WRLCK;
        record.l_whence = SEEK_SET;
        char ok = (fd >= 0 && ::flock(fd, LOCK_EX) == 0 && ::fcntl(fd, F_SETLKW, &record) == 0) ? '1' : '0';
        (void)!::write(ready[1], &ok, 1);
        ::pause();
        ::_exit(0);
    }
    char ok = '0';
    (void)!::read(ready[0], &ok, 1);
    locked_ = ok == '1';
    ::close(ready[0]);
    ::close(ready[1]);
}

void LockHolder::Release() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
}

} // namespace vserver::test
