#include "host/StartUp.h"

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "host/CommandLine.h"
#include "host/Registration.h"
#include "host/ServiceHandOver.h"
#include "host/ServiceModule.h"
#include "sessions/Server.h"
#include "platform/EventLog.h"
#include "platform/InstanceLock.h"
#include "platform/ProcessInfo.h"
#include "platform/RegistryStore.h"
#include "settings/ServiceLog.h"

namespace vserver::host {

namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;

// The registry is the one thing a registration must change; when it cannot, the person running
// the installer is told so and the exit status says it failed.
int RegistrationResult(const ServiceModule& module, const platform::SysResult& result,
                       const platform::RegistryStore& registry) {
    if (result) return kExitSuccess;
    platform::ShowMessageBox(module.serviceName().c_str(),
                             "Can't write " + registry.Name() + ": " + result.Describe());
    return kExitFailure;
}

// A start-up failure: the fixed service-log text, a second line naming the cause, and one line
// for the operator.
int FailStartUp(const ServiceModule& module, const char* text, const std::string& cause) {
    settings::WriteServiceLog(text);
    settings::WriteServiceLog("Service start failed: " + cause);
    module.ReportFailure(std::string(text) + ": " + cause);
    return kExitFailure;
}

// Only one server may serve an installation folder: a second one would share the service log
// and the queue files with the first. It refuses before it writes anything.
bool TakeInstallationFolder(const ServiceModule& module) {
    const std::string path = settings::InstanceLockPath();
    const platform::InstanceLockResult lock = platform::AcquireInstanceLock(path);
    switch (lock.outcome) {
    case platform::InstanceLockResult::Outcome::Held:
        return true;
    case platform::InstanceLockResult::Outcome::Busy: {
        const std::string holder =
            lock.holderPid > 0 ? "process " + std::to_string(lock.holderPid) : "a process this system cannot name";
        module.ReportFailure("another server (" + holder + ") is already running from " +
                             platform::ExecutableFolder() + " (lock file " + path + "); stop it first");
        return false;
    }
    case platform::InstanceLockResult::Outcome::Failed:
        break;
    }
    const std::string problem = "Can't take the lock file " + path + ": " + lock.failure.Describe() +
                                "; a second server in this folder would not be refused";
    settings::WriteServiceLog(problem);
    module.ReportProblem(problem);
    return true;
}

bool Asked(int argc, char** argv, std::string_view option) {
    for (int i = 1; i < argc; ++i) {
        if (argv[i] == option) return true;
    }
    return false;
}

void PrintHelp() {
    std::fputs(
        "usage: VServerService [-RegServer | -UnregServer]\n"
        "       VServerService --version | --help\n"
        "\n"
        "The Vantorel server. Without a switch it serves the clients of this installation in the\n"
        "foreground (as a service when its registration says so) until SIGTERM or SIGINT.\n"
        "\n"
        "  -RegServer    register the program in the registry file and install the systemd unit\n"
        "  -UnregServer  remove the registration and the systemd unit\n"
        "  --version     print the version and exit\n"
        "  --help        print this text and exit\n"
        "\n"
        "Files beside the program: the registry file VServerService.reg (or the file named by\n"
        "VSERVER_REGISTRY), the service log ServiceLog.log, the lock VServerService.lock that\n"
        "keeps a second server off the folder, and the queue files UserMessages.log and\n"
        "ForcedToolbarSets.log. vserverctl status and vserverctl log show them.\n",
        stdout);
}

} // namespace

int StartUp(int argc, char** argv) {
    // Asking what the program is must never serve, register or write anything.
    if (Asked(argc, argv, "--version")) {
        std::printf("VServerService %s (protocol version %s)\n", VSERVER_VERSION, sessions::kServerVersion);
        return kExitSuccess;
    }
    if (Asked(argc, argv, "--help") || Asked(argc, argv, "-h")) {
        PrintHelp();
        return kExitSuccess;
    }

    platform::IgnoreFileSizeSignal();
    ServiceModule module;
    module.InitModule();
    const std::unique_ptr<platform::RegistryStore> registry = platform::OpenInstallationRegistry();

    switch (ParseCommandLine(JoinArguments(argc, argv))) {
    case CommandSwitch::RegServer:
        return RegistrationResult(module, RegisterAsService(module, *registry), *registry);
    case CommandSwitch::UnregServer:
        return RegistrationResult(module, UnregisterAll(module, *registry), *registry);
    case CommandSwitch::Embedding:
    case CommandSwitch::None:
        break;
    }

    if (!TakeInstallationFolder(module)) return kExitFailure;

    RegistrationCheck registration = ReadRegistration(*registry);
    if (registration.state == RegistrationState::HiveUnreadable) {
        return FailStartUp(module, "Can't open registry hive for reading", registration.cause);
    }
    if (registration.state == RegistrationState::GuidUnreadable) {
        return FailStartUp(module, "Can't open registry object GUID for reading", registration.cause);
    }
    module.isService = registration.localService;

    const bool served = HandOverToServiceManager(module);
    settings::WriteServiceLog("Service ending normally");
    return served ? kExitSuccess : kExitFailure;
}

} // namespace vserver::host
