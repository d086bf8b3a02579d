#pragma once
// Settings that let the server start but not work as the administrator meant: a PortNumber
// that is no port, a MasterPath or users folder the server cannot use. Each is described in one
// line naming the value, the path and the reason, for the service log and the operator.
// registryName is where the settings are kept, as ConfigStore::registryName() gives it.

#include <optional>
#include <string>

#include "settings/ConfigStore.h"

namespace vserver::settings {

// Nothing for a plain port (or "0"); otherwise the stored text and the port that was opened.
std::optional<std::string> DescribePortProblem(const PortSetting& setting, int listeningPort,
                                               const std::string& registryName);

// The first problem of MasterPath (missing, relative, not a folder) or of the users folder
// below it (missing, not readable, not writable by the server), or nothing when both are usable.
std::optional<std::string> DescribeFolderProblem(const std::string& masterPathText, const std::string& usersFolder,
                                                 const std::string& registryName);

} // namespace vserver::settings
