#pragma once
// Record files: texts appended one after the other, the file always ending in exactly one NUL
// byte that the next append overwrites. The usage statistics log and the two queues are
// record files. Each append holds the file's exclusive lock, so appends of two processes
// never interleave and never land in a queue file that a collection is replacing.

#include <string>
#include <string_view>

#include "platform/DurableWrites.h"

namespace vserver::accounts {

// Appends text (written unchanged; callers end their records with CR LF) and a NUL. Creates
// a missing file; clears the read-only attribute of an existing one first. False, with a
// service-log line when the file cannot be created or opened, when nothing was written. With
// unsynced, the append's sync is left to the caller (see SyncWorker), which then decides when
// the record counts as stored.
bool AppendRecord(std::string_view text, const std::string& path, platform::UnsyncedWrite* unsynced = nullptr);
// The same, unsynced, but the service-log line of a failure goes to *failure (left empty when
// there is none to write), for a caller that reports a failure in its own order.
bool AppendRecord(std::string_view text, const std::string& path, std::string* failure);

// The same for a record file that must stay in its own folder, as the usage statistics file in
// the users folder must: found and appended to without any step leaving that folder, so a link
// in the file's place is followed only to another entry of the folder.
bool AppendRecordInFolder(std::string_view text, const std::string& path, std::string* failure);

enum class AppendOutcome { Stored, Busy, Failed };

// The append of AppendRecord with unsynced, for a caller on the event loop: it does not wait
// while another process holds the file's lock but answers Busy, with nothing written or
// logged, so the caller can try again later.
AppendOutcome TryAppendRecord(std::string_view text, const std::string& path, platform::UnsyncedWrite& unsynced);

// Logs that path could not be appended to because its lock stayed taken, in the words of any
// other append that cannot open its file.
void ReportHeldRecordFile(const std::string& path);

} // namespace vserver::accounts
