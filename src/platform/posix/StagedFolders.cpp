#include "platform/StagedFolders.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/FileSystem.h"
#include "platform/posix/BeneathFolder.h"
#include "platform/posix/DiskNames.h"
#include "platform/posix/NameLookup.h"

namespace vserver::platform {

namespace {

SysResult Fail(const char* call) { return SysResult::Failure(call, errno); }

// Copies the whole regular file in to out inside the kernel.
SysResult CopyContent(int in, int out) {
    for (;;) {
        const ssize_t sent = ::sendfile(out, in, nullptr, 1 << 30);
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0) return Fail("sendfile");
        if (sent == 0) return SysResult::Ok();
    }
}

} // namespace

SysResult CopyIntoStagedFolder(const PlaceBeneath& from, const std::string& to, UnsyncedWrite& unsynced) {
    unsynced = UnsyncedWrite{};
    if (!from.found()) return SysResult::Failure("open", from.outcome == PlaceBeneath::Outcome::Outside ? kOutsideError : ENOENT);
    // O_NONBLOCK keeps a pipe put in the source's place from stopping the server in the open.
    const int in = ::openat(beneath::FolderFd(from), beneath::NameIn(from).c_str(),
                            O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (in < 0) return Fail("open");
    struct stat st {};
    SysResult result = ::fstat(in, &st) == 0 ? SysResult::Ok() : Fail("fstat");
    if (result && !S_ISREG(st.st_mode)) result = SysResult::Failure("open", S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    const std::string stored = names::StoredPath(to);
    const int out = result ? ::open(stored.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 0777) : -1;
    if (result && out < 0) result = Fail("open");
    if (result) result = CopyContent(in, out);
    ::close(in);
    if (!result) {
        if (out >= 0) {
            ::close(out);
            (void)::unlink(stored.c_str());
        }
        return result;
    }
    unsynced.file = static_cast<IoHandle>(out);
    unsynced.target = to;
    return result;
}

SysResult MoveNoReplace(const std::string& shownFrom, const std::string& shownTo) {
    const std::string from = names::StoredPath(shownFrom);
    const std::string to = names::StoredPath(shownTo);
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return SysResult::Ok();
    if (errno != EINVAL && errno != ENOSYS) return Fail("rename");
    // A file system without the no-replace rename: rename(2) would silently replace an empty
    // folder of that name, so an entry there is refused first. Only another process creating
    // the name in between could still be replaced; this server never moves two folders to one
    // name at once.
    struct stat st {};
    if (::lstat(to.c_str(), &st) == 0) return SysResult::Failure("rename", EEXIST);
    if (::rename(from.c_str(), to.c_str()) != 0) return Fail("rename");
    return SysResult::Ok();
}

void RemoveStagedFolder(const std::string& shown) {
    const std::string folder = names::StoredPath(shown);
    {
        names::DirectoryStream entries(folder);
        while (const dirent* entry = entries.open() ? entries.Next() : nullptr) {
            (void)::unlink(names::Join(folder, entry->d_name).c_str());
        }
    }
    (void)::rmdir(folder.c_str());
}

} // namespace vserver::platform
