#include "settings/ServiceLog.h"

#include "platform/Clock.h"
#include "platform/RecordAppend.h"
#include "settings/InstallationFolders.h"

namespace vserver::settings {

std::string ServiceLogPath() {
    std::string folder = LogFolder();
    return folder.empty() ? std::string() : folder + "ServiceLog.log";
}

std::string InstanceLockPath() { return DataFolder() + "VServerService.lock"; }

void WriteServiceLogTo(const std::string& path, std::string_view message) {
    platform::LocalTime now = platform::Now();
    std::string record;
    record.reserve(message.size() + 22);
    record += platform::FormatDate(now);
    record += '\t';
    record += platform::FormatTime(now);
    record += '\t';
    record += message;
    record += "\r\n";
    // The log is the diagnostic channel of last resort: a record that cannot be written is
    // dropped, there is nowhere else to report it.
    (void)platform::AppendNulTerminated(path, record, platform::AppendOpen::CreateIfMissing);
}

void WriteServiceLog(std::string_view message) {
    const std::string path = ServiceLogPath();
    if (path.empty()) return;
    WriteServiceLogTo(path, message);
}

} // namespace vserver::settings
