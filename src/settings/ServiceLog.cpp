#include "settings/ServiceLog.h"

#include <map>

#include "platform/Clock.h"
#include "platform/RecordAppend.h"
#include "settings/InstallationFolders.h"
#include "wire/Fields.h"

namespace vserver::settings {

namespace {

// Records of one file that wait for its lock, oldest first.
struct Waiting {
    std::string text;
    long long dropped = 0;
};

struct LogWriter {
    platform::EventLoop* loop = nullptr;
    platform::EventLoop::TimerId retry = 0;
    bool flushAtTurnEnd = false;
    std::map<std::string, Waiting> waiting;
};

LogWriter& Writer() {
    static LogWriter writer;
    return writer;
}

std::string FormatRecord(std::string_view message) {
    platform::LocalTime now = platform::Now();
    std::string record;
    record.reserve(message.size() + 22);
    record += platform::FormatDate(now);
    record += '\t';
    record += platform::FormatTime(now);
    record += '\t';
    record += message;
    record += "\r\n";
    return record;
}

void Keep(Waiting& waiting, std::string_view record) {
    if (waiting.text.size() + record.size() > kMaxWaitingLogBytes) {
        ++waiting.dropped;
        return;
    }
    waiting.text += record;
}

// Writes what waits for each file, in one append per file. A file whose lock is still busy
// keeps its records for the next try; any other failure drops them, as a direct write would.
bool FlushWaiting(platform::LockWait wait) {
    LogWriter& writer = Writer();
    for (auto it = writer.waiting.begin(); it != writer.waiting.end();) {
        Waiting& waiting = it->second;
        std::string text = waiting.text;
        if (waiting.dropped > 0) {
            std::string note = "Service log records left out while another process held the log: ";
            wire::AppendNumber(note, waiting.dropped);
            text += FormatRecord(note);
        }
        platform::SysResult written =
            platform::AppendNulTerminated(it->first, text, platform::AppendOpen::CreateIfMissing, wait);
        if (platform::IsLockBusy(written)) {
            ++it;
            continue;
        }
        it = writer.waiting.erase(it);
    }
    return writer.waiting.empty();
}

void ScheduleRetry();

// The records of one turn go out together at its end, before the turn's replies.
void FlushAtTurnEnd() {
    LogWriter& writer = Writer();
    if (writer.loop == nullptr || writer.flushAtTurnEnd) return;
    writer.flushAtTurnEnd = true;
    writer.loop->AtTurnEnd(platform::TurnEndStage::Files, [] {
        Writer().flushAtTurnEnd = false;
        if (!FlushWaiting(platform::LockWait::None)) ScheduleRetry();
    });
}

void ScheduleRetry() {
    LogWriter& writer = Writer();
    if (writer.loop == nullptr || writer.retry != 0) return;
    writer.retry = writer.loop->AddTimer(kLogRetryDelay, [] {
        Writer().retry = 0;
        if (!FlushWaiting(platform::LockWait::None)) ScheduleRetry();
    });
}

} // namespace

std::string ServiceLogPath() {
    std::string folder = LogFolder();
    return folder.empty() ? std::string() : folder + "ServiceLog.log";
}

std::string InstanceLockPath() { return DataFolder() + "VServerService.lock"; }

void WriteServiceLogTo(const std::string& path, std::string_view message) {
    std::string record = FormatRecord(message);
    LogWriter& writer = Writer();
    if (writer.loop == nullptr) {
        // The log is the diagnostic channel of last resort: a record that cannot be written is
        // dropped, there is nowhere else to report it.
        (void)platform::AppendNulTerminated(path, record, platform::AppendOpen::CreateIfMissing);
        return;
    }
    // Behind the records that already wait, so the log keeps the order of events.
    Keep(writer.waiting[path], record);
    FlushAtTurnEnd();
}

void WriteServiceLog(std::string_view message) {
    const std::string path = ServiceLogPath();
    if (path.empty()) return;
    WriteServiceLogTo(path, message);
}

void AttachServiceLogToLoop(platform::EventLoop& loop) { Writer().loop = &loop; }

void DetachServiceLogFromLoop() {
    LogWriter& writer = Writer();
    if (writer.loop != nullptr && writer.retry != 0) writer.loop->CancelTimer(writer.retry);
    writer.retry = 0;
    writer.flushAtTurnEnd = false;
    writer.loop = nullptr;
    (void)FlushWaiting(platform::LockWait::Bounded);
    writer.waiting.clear();
}

} // namespace vserver::settings
