#include "settings/ServiceLog.h"

#include "platform/Clock.h"
#include "platform/ProcessInfo.h"
#include "platform/RecordAppend.h"

namespace vserver::settings {

std::string ServiceLogPath() { return platform::ExecutableFolder() + "ServiceLog.log"; }

std::string InstanceLockPath() { return platform::ExecutableFolder() + "VServerService.lock"; }

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
    if (!platform::ExecutablePath()) return;
    WriteServiceLogTo(ServiceLogPath(), message);
}

} // namespace vserver::settings
