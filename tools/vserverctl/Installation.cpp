#include "vserverctl/Installation.h"

#include "client/ServiceLogText.h"
#include "platform/FileSystem.h"
#include "platform/ProcessInfo.h"
#include "settings/ServiceLog.h"

namespace vserver::ctl {

namespace {

// A package keeps the settings and the log in the system's folders, with no registry file beside
// this program.
constexpr const char* kPackagedRegistry = "/etc/vantorel-server/VServerService.reg";
constexpr const char* kPackagedServiceLog = "/var/log/vantorel-server/ServiceLog.log";
constexpr const char* kPackagedLock = "/var/lib/vantorel-server/VServerService.lock";

} // namespace

Installation ReadInstallation() {
    Installation installation;
    installation.folder = platform::ExecutableFolder();
    installation.registryPath = platform::RegistryFilePath();
    installation.serviceLogPath = settings::ServiceLogPath();
    installation.lockPath = settings::InstanceLockPath();
    if (!platform::EnvironmentValue("VSERVER_REGISTRY") && !platform::ResolveExisting(installation.registryPath) &&
        platform::ResolveExisting(kPackagedRegistry)) {
        installation.registryPath = kPackagedRegistry;
        if (!platform::EnvironmentValue("VSERVER_LOG_FOLDER")) installation.serviceLogPath = kPackagedServiceLog;
        if (!platform::EnvironmentValue("VSERVER_DATA_FOLDER")) installation.lockPath = kPackagedLock;
    }
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
    if (platform::ReadWholeFile(installation.serviceLogPath, log)) listening = client::PortFromServiceLog(log);
    if (!listening) {
        problem = installation.registryPath + " lets the system choose the port and no service log names it; give --port";
    }
    return listening;
}

} // namespace vserver::ctl
