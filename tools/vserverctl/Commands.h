#pragma once
// The console's commands: the handlers, which turn each command into its requests (through the
// session of Transport.h) and read the replies into the report. CommandTable.h lists them.

#include <optional>
#include <string>

#include "vserverctl/Transport.h"

namespace vserver::ctl {

// The commands that ask the server (Commands.cpp).
int RunSessions(Session& session);
int RunCount(Session& session);
int RunLock(Session& session);
int RunUnlock(Session& session);
int RunLocked(Session& session);
int RunDisconnect(Session& session);
int RunMessage(Session& session);
int RunToolbar(Session& session);
int RunQueueMessage(Session& session);
int RunQueueToolbar(Session& session);
int RunAccounts(Session& session);
int RunCreate(Session& session);
int RunDelete(Session& session);
int RunToolbars(Session& session);
int RunToolbarExists(Session& session);
int RunOption(Session& session);
int RunReload(Session& session);
int RunVersion(Session& session);

// Why storing an option of this name changes nothing in the server.
std::string UnusedOptionText(const std::string& name);

// Commands that read the installation's own files (status, log) and the option listing.
int RunStatus(Session& session);
int RunLog(Session& session);
int RunOptionList(Session& session);

// The usage report from the statistics files (UsageReport.cpp), and what is wrong with its
// options before anything is read.
int RunReport(Session& session);
std::optional<std::string> CheckReportOptions(const CommandOptions& options);
// The monitoring check (MonitoringCheck.cpp), and what is wrong with its thresholds.
int RunCheck(Session& session);
std::optional<std::string> CheckThresholds(const CommandOptions& options);
// The check of an installation's folders before or after a move between systems (MoveCheck.cpp).
int RunCheckMove(Session& session);
// The work on many accounts at once (BulkCommands.cpp): create and delete --from, message and
// disconnect --all.
int RunCreateFrom(Session& session);
int RunDeleteFrom(Session& session);
int RunMessageAll(Session& session);
int RunDisconnectAll(Session& session);

// The version of this program.
inline constexpr const char* kToolVersion = VSERVER_VERSION;

} // namespace vserver::ctl
