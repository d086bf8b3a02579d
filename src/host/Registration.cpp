#include "host/Registration.h"

#include <cerrno>
#include <memory>
#include <string_view>
#include <vector>

#include "host/ServiceInstallation.h"
#include "platform/FileSystem.h"

namespace vserver::host {

std::string AppIdGuidKey() { return std::string(kAppIdKey) + "\\" + kAppIdGuid; }
std::string ExecutableAppIdKey() { return std::string(kAppIdKey) + "\\" + kExecutableAppIdName; }

bool ApplyRegistrationScript(platform::RegistryKeys& keys, bool registering) {
    if (!registering) {
        bool removedGuid = keys.DeleteKeyTree(AppIdGuidKey());
        bool removedExecutable = keys.DeleteKeyTree(ExecutableAppIdKey());
        return removedGuid || removedExecutable;
    }
    (void)keys.CreateKey(kAppIdKey);
    if (const std::unique_ptr<platform::RegistryKey> guid = keys.CreateKey(AppIdGuidKey())) {
        guid->WriteString("", kServiceName);
    }
    if (const std::unique_ptr<platform::RegistryKey> executable = keys.CreateKey(ExecutableAppIdKey())) {
        executable->WriteString("AppID", kAppIdGuid);
    }
    return true;
}

platform::SysResult RegisterAsService(const ServiceModule& module, platform::RegistryStore& registry) {
    // The registry goes first: when it cannot be written, the installed service (if any) is left
    // untouched rather than removed with nothing to replace it.
    platform::SysResult written = registry.Update([&](platform::RegistryKeys& keys) {
        ApplyRegistrationScript(keys, true);
        if (const std::unique_ptr<platform::RegistryKey> guid = keys.CreateKey(AppIdGuidKey())) {
            guid->DeleteValue("LocalService");
            guid->WriteString("LocalService", module.serviceName());
            guid->WriteString("ServiceParameters", "-Service");
        }
        return true;
    });
    if (!written) return written;
    // An existing installation is removed first, so a changed executable path takes effect. A
    // service manager that refused has shown its message; the registration stands without it.
    (void)Uninstall(module);
    (void)Install(module);
    return platform::SysResult::Ok();
}

platform::SysResult UnregisterAll(const ServiceModule& module, platform::RegistryStore& registry) {
    platform::SysResult written =
        registry.Update([](platform::RegistryKeys& keys) { return ApplyRegistrationScript(keys, false); });
    // A registration that stays in the registry keeps its service too, so the two never disagree.
    if (!written) return written;
    (void)Uninstall(module);
    return platform::SysResult::Ok();
}

RegistrationCheck ReadRegistration(const platform::RegistryStore& registry) {
    const std::string store = registry.Name();
    const std::string remedy = ": the program is not registered (run VServerService -RegServer)";
    std::vector<std::string> problems;
    platform::SysResult appIdOpened = platform::SysResult::Ok();
    platform::SysResult guidOpened = platform::SysResult::Ok();
    bool localService = false;
    const platform::SysResult loaded = registry.Read(
        [&](platform::RegistryKeys& keys) {
            if (!keys.OpenKey(kAppIdKey, &appIdOpened)) return;
            if (const std::unique_ptr<platform::RegistryKey> guid = keys.OpenKey(AppIdGuidKey(), &guidOpened)) {
                localService = guid->HasValue("LocalService");
            }
        },
        &problems);
    if (!loaded) return {RegistrationState::HiveUnreadable, false, store + " cannot be read: " + loaded.Describe()};
    if (appIdOpened && guidOpened) return {RegistrationState::Registered, localService, {}};

    const RegistrationState state = appIdOpened ? RegistrationState::GuidUnreadable : RegistrationState::HiveUnreadable;
    const std::string key = appIdOpened ? AppIdGuidKey() : std::string(kAppIdKey);
    const platform::SysResult& failure = appIdOpened ? guidOpened : appIdOpened;
    // A line that cannot be read usually hides the key that is missing: name it first.
    if (!problems.empty()) {
        std::string unreadable = store + " cannot be read: " + problems.front();
        if (problems.size() > 1) unreadable += " (and " + std::to_string(problems.size() - 1) + " more lines)";
        return {state, false, unreadable};
    }
    if (failure.error() != ENOENT) return {state, false, store + " cannot open key " + key + ": " + failure.Describe()};
    // A missing file reads as an empty registry; the operator should hear which it was.
    const std::string file = registry.FilePath();
    if (state == RegistrationState::HiveUnreadable && !file.empty() && !platform::ResolveExisting(file).has_value()) {
        return {state, false, store + " does not exist" + remedy};
    }
    return {state, false, store + " has no key " + key + remedy};
}

} // namespace vserver::host
