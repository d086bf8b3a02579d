#include "vserverctl/Installation.h"

#include <memory>

#include "client/ServiceLogText.h"
#include "platform/FileSystem.h"
#include "platform/ProcessInfo.h"
#include "platform/RegistryStore.h"
#include "platform/SystemTraits.h"
#include "platform/common/PathText.h"
#include "settings/InstallationFolders.h"
#include "settings/ServiceLog.h"
#include "vserverctl/SystemInstallation.h"

namespace vserver::ctl {

namespace {

// The store the server of this installation reads: its own unless a package keeps the settings
// in the system's folders and this program's folder holds no registry file.
std::unique_ptr<platform::RegistryStore> OpenStore(Installation& installation) {
    std::unique_ptr<platform::RegistryStore> store = platform::OpenInstallationRegistry();
    installation.registryPath = store->FilePath();
    const std::optional<PackagedFiles> packaged = PackagedInstallation();
    if (installation.inSystemRegistry() || !packaged || platform::EnvironmentValue("VSERVER_REGISTRY") ||
        platform::ResolveExisting(installation.registryPath) || !platform::ResolveExisting(packaged->registry)) {
        return store;
    }
    installation.registryPath = packaged->registry;
    if (!platform::EnvironmentValue("VSERVER_LOG_FOLDER")) installation.serviceLogPath = packaged->serviceLog;
    if (!platform::EnvironmentValue("VSERVER_DATA_FOLDER")) {
        installation.lockPath = packaged->lock;
        installation.dataFolder = std::string(platform::FolderPartOf(installation.lockPath));
        installation.dataFolder += platform::kPathSeparator;
    }
    return platform::OpenRegistryFileStore(installation.registryPath);
}

} // namespace

std::optional<std::string> Installation::StatisticsPath() const {
    if (!masterPath) return std::nullopt;
    std::string path = *masterPath;
    if (path.back() != platform::kPathSeparator) path += platform::kPathSeparator;
    return path + "Users" + platform::kPathSeparator + settings::kStatisticsFileName;
}

std::string Installation::PortPlace() const {
    return inSystemRegistry() ? std::string(settings::kConnectionKey) + " in the system registry" : registryPath;
}

Installation ReadInstallation() {
    Installation installation;
    installation.folder = platform::ExecutableFolder();
    installation.serviceLogPath = settings::ServiceLogPath();
    installation.lockPath = settings::InstanceLockPath();
    installation.dataFolder = settings::DataFolder();
    const std::unique_ptr<platform::RegistryStore> store = OpenStore(installation);
    const platform::SysResult read = store->Read([&](platform::RegistryKeys& keys) {
        installation.port = settings::ReadPortSetting(keys);
        const std::unique_ptr<platform::RegistryKey> server = keys.OpenKey(settings::kServerKey);
        installation.registryExists = server != nullptr;
        if (server) installation.masterPath = server->ReadString("MasterPath");
        if (const std::unique_ptr<platform::RegistryKey> options = keys.OpenKey(settings::kOptionsKey)) {
            installation.optionNames = options->ValueNames();
        }
    });
    if (!read) installation.problem = "cannot be read: " + read.Describe();
    if (!installation.inSystemRegistry()) {
        installation.registryExists = platform::ResolveExisting(installation.registryPath).has_value();
    }
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
        problem = installation.PortPlace() + " lets the system choose the port and no service log names it; give --port";
    }
    return listening;
}

} // namespace vserver::ctl
