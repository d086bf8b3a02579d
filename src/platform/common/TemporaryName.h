#pragma once
// The form of a temporary file's name, the same on every system: ".<name>.tmp-<pid>-<n>", so
// that a later writer can tell whose temporary it finds and whether that writer still runs.

#include <string>
#include <string_view>

namespace vserver::platform {

// ".<last component of target>.tmp-": what every temporary of target starts with.
std::string TemporaryPrefix(std::string_view target);
// The same for a stand-in of another kind: ".<last component of target>.<kind>-".
std::string TemporaryPrefix(std::string_view target, std::string_view kind);

// The writer's process id in the rest of a temporary's name after its prefix ("<pid>-<n>"), or
// 0 when the rest is not of that form (an entry the server did not make).
unsigned long long TemporaryWriterOf(std::string_view rest);

} // namespace vserver::platform
