#pragma once
// The service's source in the system's Application event log: the key that tells the Event
// Viewer which executable holds the messages of the service's events. Used inside the Windows
// backend only.

#include <string>

#include "platform/SysResult.h"

namespace vserver::platform::backend {

// The key of the source called name, below HKEY_LOCAL_MACHINE.
std::string EventSourceKey(const std::string& name);

// Creates or replaces the source: its messages are in messageFile, and it reports errors,
// warnings and information.
[[nodiscard]] SysResult WriteEventSource(const std::string& name, const std::string& messageFile);

// Removes the source; a source that is not there is fine.
[[nodiscard]] SysResult DeleteEventSource(const std::string& name);

} // namespace vserver::platform::backend
