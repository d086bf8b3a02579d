#include "vserverctl/Installation.h"

#include "client/ServiceLogText.h"
#include "platform/FileSystem.h"
#include "platform/ProcessInfo.h"
#include "settings/ServiceLog.h"

namespace vserver::ctl {

Installation ReadInstallation() {
    Installation installation;
    installation.folder = platform::ExecutableFolder();
    installation.registryPath = platform::RegistryFilePath();
    if (platform::SysResult loaded = platform::RegistryFile::Load(installation.registryPath, installation.registry); !loaded) {
        installation.problem = "cannot be read: " + loaded.Describe();
    }
    installation.registryExists = platform::ResolveExisting(installation.registryPath).has_value();
    installation.port = settings::ReadPortSetting(installation.registry);
    installation.masterPath = installation.registry.ReadString(settings::kServerKey, "MasterPath");
    if (installation.masterPath && installation.masterPath->empty()) installation.masterPath.reset();
    return installation;
}

std::optional<int> InstallationPort(const Installation& installation, std::string& problem) {
    if (!installation.problem.empty()) {
        problem = "registry file " + installation.registryPath + " " + installation.problem + "; give --port";
        return std::nullopt;
    }
    if (installation.port.port != 0) return installation.port.port;
    std::string log;
    std::optional<int> listening;
    if (platform::ReadWholeFile(settings::ServiceLogPath(), log)) listening = client::PortFromServiceLog(log);
    if (!listening) {
        problem = installation.registryPath + " lets the system choose the port and no service log names it; give --port";
    }
    return listening;
}

} // namespace vserver::ctl
