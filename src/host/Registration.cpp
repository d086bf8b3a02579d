#include "host/Registration.h"

#include <cstddef>
#include <string_view>
#include <vector>

#include "host/ServiceInstallation.h"
#include "platform/FileSystem.h"

namespace vserver::host {

namespace {

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    }
    return true;
}

// Any value of that name, whatever its type.
bool ValueExists(const platform::RegistryFile& registry, std::string_view key, std::string_view name) {
    const auto* found = registry.FindKey(key);
    if (found == nullptr) return false;
    for (const auto& value : found->values) {
        if (EqualNoCase(value.name, name)) return true;
    }
    return false;
}

} // namespace

std::string AppIdGuidKey() { return std::string(kAppIdKey) + "\\" + kAppIdGuid; }
std::string ExecutableAppIdKey() { return std::string(kAppIdKey) + "\\" + kExecutableAppIdName; }

bool ApplyRegistrationScript(platform::RegistryFile& registry, bool registering) {
    if (!registering) {
        bool removedGuid = registry.DeleteKeyTree(AppIdGuidKey());
        bool removedExecutable = registry.DeleteKeyTree(ExecutableAppIdKey());
        return removedGuid || removedExecutable;
    }
    registry.CreateKey(kAppIdKey);
    registry.WriteString(AppIdGuidKey(), "", kServiceName);
    registry.WriteString(ExecutableAppIdKey(), "AppID", kAppIdGuid);
    return true;
}

platform::SysResult RegisterAsService(const ServiceModule& module, const std::string& registryPath) {
    // The registry file goes first: when it cannot be written, the installed service (if any)
    // is left untouched rather than removed with nothing to replace it.
    platform::SysResult written = platform::RegistryFile::Update(registryPath, [&](platform::RegistryFile& registry) {
        ApplyRegistrationScript(registry, true);
        const std::string key = AppIdGuidKey();
        registry.DeleteValue(key, "LocalService");
        registry.WriteString(key, "LocalService", module.serviceName());
        registry.WriteString(key, "ServiceParameters", "-Service");
        return true;
    });
    if (!written) return written;
    // An existing installation is removed first, so a changed executable path takes effect. A
    // service manager that refused has shown its message; the registration stands without it.
    (void)Uninstall(module);
    (void)Install(module);
    return platform::SysResult::Ok();
}

platform::SysResult UnregisterAll(const ServiceModule& module, const std::string& registryPath) {
    platform::SysResult written = platform::RegistryFile::Update(registryPath, [](platform::RegistryFile& registry) {
        return ApplyRegistrationScript(registry, false);
    });
    // A registration that stays in the file keeps its service too, so the two never disagree.
    if (!written) return written;
    (void)Uninstall(module);
    return platform::SysResult::Ok();
}

RegistrationCheck ReadRegistration(const std::string& registryPath) {
    const std::string file = "registry file " + registryPath;
    const std::string remedy = ": the program is not registered (run VServerService -RegServer)";
    platform::RegistryFile registry;
    std::vector<std::string> problems;
    if (platform::SysResult loaded = platform::RegistryFile::Load(registryPath, registry, &problems); !loaded) {
        return {RegistrationState::HiveUnreadable, false, file + " cannot be read: " + loaded.Describe()};
    }
    // A line that cannot be read usually hides the key that is missing: name it first.
    if (!problems.empty()) {
        std::string unreadable = file + " cannot be read: " + problems.front();
        if (problems.size() > 1) unreadable += " (and " + std::to_string(problems.size() - 1) + " more lines)";
        if (!registry.HasKey(kAppIdKey)) return {RegistrationState::HiveUnreadable, false, unreadable};
        if (!registry.HasKey(AppIdGuidKey())) return {RegistrationState::GuidUnreadable, false, unreadable};
    }
    if (!registry.HasKey(kAppIdKey)) {
        // A missing file reads as an empty registry; the operator should hear which it was.
        const bool exists = platform::ResolveExisting(registryPath).has_value();
        return {RegistrationState::HiveUnreadable, false,
                file + (exists ? " has no key " + std::string(kAppIdKey) : " does not exist") + remedy};
    }
    if (!registry.HasKey(AppIdGuidKey())) {
        return {RegistrationState::GuidUnreadable, false, file + " has no key " + AppIdGuidKey() + remedy};
    }
    return {RegistrationState::Registered, ValueExists(registry, AppIdGuidKey(), "LocalService"), {}};
}

} // namespace vserver::host
