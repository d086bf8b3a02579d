#include "platform/ProcessInfo.h"
#include "platform/RegistryFileIo.h"

namespace vserver::platform {

std::optional<std::string> ChosenRegistryFile() {
    std::optional<std::string> chosen = EnvironmentValue("VSERVER_REGISTRY");
    if (chosen && chosen->empty()) chosen.reset();
    return chosen;
}

std::string RegistryFilePath() {
    if (std::optional<std::string> chosen = ChosenRegistryFile()) return *chosen;
    return ExecutableFolder() + "VServerService.reg";
}

} // namespace vserver::platform
