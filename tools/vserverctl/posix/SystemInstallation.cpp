// The Debian package keeps the server's files in the system's folders.

#include "vserverctl/SystemInstallation.h"

namespace vserver::ctl {

std::optional<PackagedFiles> PackagedInstallation() {
    return PackagedFiles{"/etc/vantorel-server/VServerService.reg", "/var/log/vantorel-server/ServiceLog.log",
                         "/var/lib/vantorel-server/VServerService.lock"};
}

const char* PortOptionHelp() {
    return "  --port=P      the server's port (default: PortNumber of the server's registry file,\n"
           "                $VSERVER_REGISTRY, else beside this program, else the packaged\n"
           "                /etc/vantorel-server/VServerService.reg, read as the server reads it;\n"
           "                1006 without one)\n";
}

} // namespace vserver::ctl
