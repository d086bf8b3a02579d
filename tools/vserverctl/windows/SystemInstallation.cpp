// Windows keeps the settings in the system registry; the server's files stay in its own folder.

#include "vserverctl/SystemInstallation.h"

namespace vserver::ctl {

std::optional<PackagedFiles> PackagedInstallation() { return std::nullopt; }

const char* PortOptionHelp() {
    return "  --port=P      the server's port (default: PortNumber of the registry file named by\n"
           "                $VSERVER_REGISTRY, else of the system registry's key\n"
           "                HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Connection,\n"
           "                read as the server reads it; 1006 without one)\n";
}

} // namespace vserver::ctl
