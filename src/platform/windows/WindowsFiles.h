#pragma once
// The Windows backend's file helpers that its path functions (FileSystem.cpp) and its place
// functions (Beneath.cpp) share.

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

#include "platform/SysResult.h"

namespace vserver::platform::files {

// folder, a separator unless it ends in one, name.
std::string Join(std::string_view folder, std::string_view name);

// The entry of folder that name finds, with its stored name and attributes. The system matches
// names without regard to case itself, so one lookup of the name is enough; a name with
// wildcards never names an entry. "" is the working folder.
std::optional<WIN32_FIND_DATAA> FindStoredEntry(const std::string& folder, std::string_view name);

// The rest of the open file, into out.
SysResult ReadAllFrom(HANDLE file, std::string& out);

} // namespace vserver::platform::files
