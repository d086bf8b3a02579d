#pragma once
// The server installation beside this program, as its files and settings tell it: the folder,
// the settings read with the server's own code, the port and the master path the server reads
// there.

#include <optional>
#include <string>
#include <vector>

#include "settings/ConfigStore.h"

namespace vserver::ctl {

struct Installation {
    std::string folder;          // this program's folder, with its trailing separator
    // The registry file: $VSERVER_REGISTRY, VServerService.reg in folder, or the packaged one;
    // empty when the system registry holds the settings.
    std::string registryPath;
    std::string serviceLogPath;  // the service log of the server that reads these settings
    std::string lockPath;        // the lock that running server holds
    std::string dataFolder;      // where that server keeps its queue files, with a trailing separator
    std::vector<std::string> optionNames;  // the values stored under the Options key
    std::string problem;         // why the registry file could not be read, if so
    bool registryExists = false; // a missing file or server key reads as an empty registry
    settings::PortSetting port;
    std::optional<std::string> masterPath;

    bool inSystemRegistry() const { return registryPath.empty(); }
    // Where PortNumber is kept, as messages name it: the file's path, or the Connection key.
    std::string PortPlace() const;
    // The usage statistics file below MasterPath, as the server names it; nothing without a
    // MasterPath.
    std::optional<std::string> StatisticsPath() const;
    // The two queue files.
    std::string UserMessagesPath() const { return dataFolder + "UserMessages.log"; }
    std::string ForcedToolbarSetsPath() const { return dataFolder + "ForcedToolbarSets.log"; }
};

Installation ReadInstallation();

// The port the server of this installation listens on: PortNumber as the server reads it, and
// for a port the system chooses, the one its service log names. Nothing, with the reason in
// problem, when neither tells.
std::optional<int> InstallationPort(const Installation& installation, std::string& problem);

} // namespace vserver::ctl
