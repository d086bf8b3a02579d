#include "platform/ProcessInfo.h"

#include "platform/BackendCalls.h"

namespace vserver::platform {

// The executable does not move while it runs, so the path is asked for once; every service-log
// line needs it.
std::optional<std::string> ExecutablePath() {
    static const std::optional<std::string> path = backend::ReadExecutablePath();
    return path;
}

std::string ExecutableFolder() {
    auto path = ExecutablePath();
    if (!path) return {};
    for (std::size_t end = path->size(); end > 0; --end) {
        if (IsPathSeparator((*path)[end - 1])) return path->substr(0, end);
    }
    return {};
}

} // namespace vserver::platform
