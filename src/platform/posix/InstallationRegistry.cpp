// This system keeps no registry of its own: the installation's settings are always a file.

#include "platform/RegistryFileIo.h"
#include "platform/RegistryStore.h"

namespace vserver::platform {

std::unique_ptr<RegistryStore> OpenInstallationRegistry() { return OpenRegistryFileStore(RegistryFilePath()); }

} // namespace vserver::platform
