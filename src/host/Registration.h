#pragma once
// The program's registration in the registry store: the application identity keys below
// HKEY_CLASSES_ROOT\AppID that mark it as installed, and the "LocalService" value that makes it
// run under the service manager. In the registry file every change is one locked, atomic
// rewrite of the file, so a failed registration never leaves half of it behind.

#include <string>

#include "host/ServiceModule.h"
#include "platform/RegistryStore.h"
#include "platform/SysResult.h"

namespace vserver::host {

inline constexpr const char* kAppIdKey = "HKEY_CLASSES_ROOT\\AppID";
inline constexpr const char* kExecutableAppIdName = "VServerService.EXE";

std::string AppIdGuidKey();          // HKEY_CLASSES_ROOT\AppID\{GUID}
std::string ExecutableAppIdKey();    // HKEY_CLASSES_ROOT\AppID\VServerService.EXE

// Writes (registering) or removes (not registering) the two identity keys. The AppID key
// itself is created when missing and never removed. Returns whether anything changed.
bool ApplyRegistrationScript(platform::RegistryKeys& keys, bool registering);

// Writes the identity keys with "LocalService" and "ServiceParameters", then removes an
// existing service installation and installs the service anew. A failed installation has shown
// its message and does not fail the registration; a registry that cannot be written does, and
// then the service manager is not touched at all.
platform::SysResult RegisterAsService(const ServiceModule& module, platform::RegistryStore& registry);

// Removes the identity keys and the service installation. Fails only when the registry cannot
// be written, and then leaves the service installed.
platform::SysResult UnregisterAll(const ServiceModule& module, platform::RegistryStore& registry);

// What the registry says about this program at start-up.
enum class RegistrationState {
    HiveUnreadable,    // the registry cannot be read, or it has no AppID key
    GuidUnreadable,    // the AppID key exists without this program's key
    Registered,
};
struct RegistrationCheck {
    RegistrationState state = RegistrationState::HiveUnreadable;
    bool localService = false;   // the program's key holds "LocalService": run as a service
    std::string cause;           // when not registered: the store, the missing key or the system error
};
RegistrationCheck ReadRegistration(const platform::RegistryStore& registry);

} // namespace vserver::host
