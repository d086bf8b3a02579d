#pragma once
// What each backend supplies to the shared code of platform/, where the logic around a system
// call is the same on every system and only the call differs. Used inside platform/ only.

#include <optional>
#include <string>


namespace vserver::platform::backend {

// The running executable's full path as the system reports it, or nothing.
std::optional<std::string> ReadExecutablePath();

} // namespace vserver::platform::backend
