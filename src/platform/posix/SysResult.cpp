#include "platform/SysResult.h"

#include <cstring>

namespace vserver::platform {

std::string SysResult::Describe() const {
    if (ok()) return {};
    return std::string(call_) + ": " + std::strerror(error_);
}

} // namespace vserver::platform
