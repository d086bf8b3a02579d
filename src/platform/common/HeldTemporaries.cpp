#include "platform/common/HeldTemporaries.h"

#include <mutex>
#include <set>

namespace vserver::platform {

namespace {

std::mutex heldMutex;
std::set<std::string>& Held() {
    static std::set<std::string> held;
    return held;
}

} // namespace

void HoldTemporary(const std::string& path) {
    std::lock_guard lock(heldMutex);
    Held().insert(path);
}

void ReleaseTemporary(const std::string& path) {
    std::lock_guard lock(heldMutex);
    Held().erase(path);
}

bool IsHeldTemporary(const std::string& path) {
    std::lock_guard lock(heldMutex);
    return Held().contains(path);
}

} // namespace vserver::platform
