#pragma once
// The folders the server keeps its own files in: the service log in the log folder, the two
// queue files in the data folder. Both are the executable's folder unless the environment names
// another (VSERVER_LOG_FOLDER, VSERVER_DATA_FOLDER): an installation by hand keeps everything in
// one place, while a packaged service is told by its unit where the system keeps logs and
// variable data. The registry file has its own variable, VSERVER_REGISTRY.

#include <string>

namespace vserver::settings {

// Each with a trailing separator; empty when no folder is named and the executable's path is
// unknown.
std::string LogFolder();
std::string DataFolder();

} // namespace vserver::settings
