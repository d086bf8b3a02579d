#include "platform/ProcessInfo.h"
#include "platform/RegistryFile.h"

namespace vserver::platform {

std::string RegistryFilePath() {
    if (std::optional<std::string> chosen = EnvironmentValue("VSERVER_REGISTRY"); chosen && !chosen->empty()) {
        return *chosen;
    }
    return ExecutableFolder() + "VServerService.reg";
}

} // namespace vserver::platform
