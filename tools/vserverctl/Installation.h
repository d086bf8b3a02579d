#pragma once
// The server installation beside this program, as its files tell it: the folder, the registry
// file read with the server's own code, the port and the master path the server reads there.

#include <optional>
#include <string>

#include "platform/RegistryFile.h"
#include "settings/ConfigStore.h"

namespace vserver::ctl {

struct Installation {
    std::string folder;               // this program's folder, with its trailing separator
    std::string registryPath;         // $VSERVER_REGISTRY, VServerService.reg in folder, or the packaged one
    std::string serviceLogPath;       // the service log of the server that reads registryPath
    std::string lockPath;             // the lock that running server holds
    platform::RegistryFile registry;  // empty when missing or unreadable
    std::string problem;              // why the registry file could not be read, if so
    bool registryExists = false;      // a missing file reads as an empty registry
    settings::PortSetting port;
    std::optional<std::string> masterPath;
};

Installation ReadInstallation();

// The port the server of this installation listens on: PortNumber as the server reads it, and
// for a port the system chooses, the one its service log names. Nothing, with the reason in
// problem, when neither tells.
std::optional<int> InstallationPort(const Installation& installation, std::string& problem);

} // namespace vserver::ctl
