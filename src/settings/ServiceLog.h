#pragma once
// The service log: ServiceLog.log in the log folder (InstallationFolders.h), one dated record per call
// ("MM/DD/YY<TAB>HH:MM:SS<TAB>text<CR><LF>"), the file always ending in one NUL byte. Callable
// from anywhere at any time; it never fails towards its caller and keeps nothing open.

#include <string>
#include <string_view>

namespace vserver::settings {

void WriteServiceLog(std::string_view message);

// The same record written to a named file; WriteServiceLog uses it with the standard path.
void WriteServiceLogTo(const std::string& path, std::string_view message);

// Path of the service log: the log folder followed by "ServiceLog.log"; empty when there is no
// log folder.
std::string ServiceLogPath();

// Path of the lock that keeps a second server off this installation folder: the executable's
// folder followed by "VServerService.lock".
std::string InstanceLockPath();

} // namespace vserver::settings
