#pragma once
// The system's log for informational events of a service, and the operator-facing "message
// box" of the installer. On Linux events go to syslog under the source's name, and a message
// box is one line on standard error.

#include <string_view>

namespace vserver::platform {

// Reports one informational event under source. Delivery is best effort: an event the system
// log cannot take is dropped, as a service has nowhere better to report it.
void ReportSystemEvent(const char* source, std::string_view text);

// Reports a failure (error priority) or a warning under source, for the operator's journal.
enum class SystemLogPriority { Warning, Error };
void ReportSystemProblem(const char* source, SystemLogPriority priority, std::string_view text);

// Shows text to the person running the installer, with caption naming the program.
void ShowMessageBox(const char* caption, std::string_view text);

// Writes text and a line feed to standard output at once (events of a process run by hand).
void WriteStandardOutputLine(std::string_view text);

} // namespace vserver::platform
