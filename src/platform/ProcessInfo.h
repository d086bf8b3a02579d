#pragma once
// Facts about the running process: where its executable lives and its environment.

#include <optional>
#include <string>

namespace vserver::platform {

// Full path of the running executable, or nothing when the system cannot tell.
std::optional<std::string> ExecutablePath();

// The folder that holds the executable, with a trailing separator ("/opt/x/"), whatever the
// executable's own file name; empty when the executable path is unavailable.
std::string ExecutableFolder();

std::optional<std::string> EnvironmentValue(const char* name);

// Lifts the soft limit of open descriptors to the hard limit, so the server can hold as many
// connections as the system allows this process.
void RaiseOpenFileLimit();

// A file that reaches the process's size limit must fail the write (like a full disk) instead
// of ending the process; call once at start.
void IgnoreFileSizeSignal();

// Hands freed heap memory back to the system (after many large buffers were released).
void ReturnFreeMemory();

} // namespace vserver::platform
