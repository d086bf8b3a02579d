#include "settings/InstallationFolders.h"

#include <optional>

#include "platform/ProcessInfo.h"
#include "platform/SystemTraits.h"

namespace vserver::settings {

namespace {

// An empty value counts as unset, as for VSERVER_REGISTRY, so a unit can clear it.
std::string FolderNamedBy(const char* variable) {
    std::optional<std::string> named = platform::EnvironmentValue(variable);
    if (!named || named->empty()) return platform::ExecutableFolder();
    if (!platform::IsPathSeparator(named->back())) named->push_back(platform::kPathSeparator);
    return *named;
}

} // namespace

std::string LogFolder() { return FolderNamedBy("VSERVER_LOG_FOLDER"); }

std::string DataFolder() { return FolderNamedBy("VSERVER_DATA_FOLDER"); }

} // namespace vserver::settings
