#pragma once
// The entry through which the service control manager hands the service its controls. The
// manager sends the system's shutdown controls only to a service while the system shuts down,
// and refuses them from any program; a test hands them in here instead, as the manager would.
// Used inside the Windows backend and its tests only.

#include <windows.h>

namespace vserver::platform::backend {

using ServiceControlEntry = DWORD(WINAPI*)(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);

ServiceControlEntry ServiceControlEntryForTests();

} // namespace vserver::platform::backend
