#include "host/StartUp.h"

#include <string>

#include "host/CommandLine.h"
#include "host/Registration.h"
#include "host/ServiceDispatcher.h"
#include "host/ServiceModule.h"
#include "platform/EventLog.h"
#include "platform/RegistryFile.h"
#include "settings/ServiceLog.h"

namespace vserver::host {

namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;

// The registry file is the one thing a registration must change; when it cannot, the person
// running the installer is told so and the exit status says it failed.
int RegistrationResult(const ServiceModule& module, const platform::SysResult& result, const std::string& path) {
    if (result) return kExitSuccess;
    platform::ShowMessageBox(module.serviceName().c_str(),
                             "Can't write registry file " + path + ": " + result.Describe());
    return kExitFailure;
}

} // namespace

int StartUp(int argc, char** argv) {
    ServiceModule module;
    module.InitModule();
    const std::string registryPath = platform::RegistryFilePath();

    switch (ParseCommandLine(JoinArguments(argc, argv))) {
    case CommandSwitch::RegServer:
        return RegistrationResult(module, RegisterAsService(module, registryPath), registryPath);
    case CommandSwitch::UnregServer:
        return RegistrationResult(module, UnregisterAll(module, registryPath), registryPath);
    case CommandSwitch::Embedding:
    case CommandSwitch::None:
        break;
    }

    RegistrationCheck registration = ReadRegistration(registryPath);
    if (registration.state == RegistrationState::HiveUnreadable) {
        settings::WriteServiceLog("Can't open registry hive for reading");
        return kExitFailure;
    }
    if (registration.state == RegistrationState::GuidUnreadable) {
        settings::WriteServiceLog("Can't open registry object GUID for reading");
        return kExitFailure;
    }
    module.isService = registration.localService;

    const bool served = StartDispatcher(module);
    settings::WriteServiceLog("Service ending normally");
    return served ? kExitSuccess : kExitFailure;
}

} // namespace vserver::host
