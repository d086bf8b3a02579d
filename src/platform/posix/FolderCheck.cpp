#include "platform/FolderCheck.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace vserver::platform {

FolderCheck CheckFolder(const std::string& path) {
    FolderCheck check;
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        const int error = errno;
        check.failure = SysResult::Failure("stat", error);
        check.verdict = (error == ENOENT || error == ENOTDIR) ? FolderCheck::Verdict::Missing
                                                               : FolderCheck::Verdict::Unknown;
        return check;
    }
    if (!S_ISDIR(info.st_mode)) {
        check.failure = SysResult::Failure("stat", ENOTDIR);
        check.verdict = FolderCheck::Verdict::NotAFolder;
        return check;
    }
    // Effective rights, as the server uses them when it lists and creates accounts.
    if (::eaccess(path.c_str(), R_OK | X_OK) != 0) {
        check.failure = SysResult::Failure("access", errno);
        check.verdict = FolderCheck::Verdict::Unreadable;
        return check;
    }
    if (::eaccess(path.c_str(), W_OK) != 0) {
        check.failure = SysResult::Failure("access", errno);
        check.verdict = FolderCheck::Verdict::Unwritable;
        return check;
    }
    check.verdict = FolderCheck::Verdict::Usable;
    return check;
}

} // namespace vserver::platform
