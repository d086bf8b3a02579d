#include "platform/posix/Descriptor.h"

namespace vserver::platform {

SysResult WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t written = ::write(fd, data.data(), data.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return SysResult::Failure("write", errno);
        }
        data.remove_prefix(static_cast<std::size_t>(written));
    }
    return SysResult::Ok();
}

SysResult ReadAll(int fd, std::string& out) {
    out.clear();
    return ReadChunks(fd, [&out](std::string_view chunk) {
        out.append(chunk);
        return SysResult::Ok();
    });
}

} // namespace vserver::platform
