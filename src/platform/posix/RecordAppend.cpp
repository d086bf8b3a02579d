#include "platform/RecordAppend.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

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

} // namespace

SysResult AppendNulTerminated(const std::string& path, std::string_view text, AppendOpen how) {
    int flags = O_WRONLY | O_CLOEXEC | (how == AppendOpen::CreateIfMissing ? O_CREAT : 0);
    int fd = ::open(path.c_str(), flags, 0644);
    if (fd < 0) return SysResult::Failure("open", errno);
    // The lock spans finding the end and writing, so another process's record can neither land
    // between the two nor be overwritten by our step back.
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            int error = errno;
            ::close(fd);
            return SysResult::Failure("flock", error);
        }
    }
    struct stat st{};
    SysResult result = SysResult::Ok();
    if (::fstat(fd, &st) != 0) {
        result = SysResult::Failure("fstat", errno);
    } else {
        off_t offset = st.st_size > 0 ? st.st_size - 1 : 0;
        result = WriteAll(fd, text, offset);
    }
    ::close(fd);
    return result;
}

} // namespace vserver::platform
