#include "platform/SysResult.h"

#include <cerrno>
#include <cstring>
#include <string_view>

namespace vserver::platform {

std::string SysResult::Describe() const {
    if (ok()) return {};
    return std::string(call_) + ": " + std::strerror(error_);
}

bool IsLockBusy(const SysResult& result) {
    return !result.ok() && result.error() == EWOULDBLOCK && std::string_view(result.call()) == "flock";
}

SysResult LockBusy() { return SysResult::Failure("flock", EWOULDBLOCK); }

} // namespace vserver::platform
