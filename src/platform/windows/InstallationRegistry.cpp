// The system registry holds the installation's settings, unless VSERVER_REGISTRY names a file:
// tests keep their settings apart that way and run side by side. A service started by the
// service manager gets the system's environment, not a test's, so it reads the system registry.

#include "SystemRegistry.h"
#include "platform/RegistryFileIo.h"

namespace vserver::platform {

std::unique_ptr<RegistryStore> OpenInstallationRegistry() {
    if (std::optional<std::string> chosen = ChosenRegistryFile()) return OpenRegistryFileStore(*chosen);
    return OpenSystemRegistry();
}

} // namespace vserver::platform
