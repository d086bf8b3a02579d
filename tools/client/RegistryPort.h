#pragma once
// Finding the server's port the way the server itself does when a tool runs in the server's
// folder: the PortNumber value of the Connection key in the registry file, and, when that asks
// the system for a free port (0), the port the server last wrote to its service log.

#include <optional>
#include <string>
#include <string_view>

namespace vserver::client {

inline constexpr int kDefaultPort = 1006;
inline constexpr const char* kConnectionKey = "HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Connection";

// The string value name of key in the text of a REGEDIT4 file; key and value names match
// without regard to case and a later value wins. Nothing when it is missing or not a string.
std::optional<std::string> ReadRegistryString(std::string_view fileText, std::string_view key, std::string_view name);

// The port the server reads from registry file text: the PortNumber string by the C library's
// integer rule, or 1006 when the key or value is missing or empty.
int PortFromRegistryText(std::string_view fileText);

// The port of the last "Server listening on port N" line of a service log text, if any.
std::optional<int> PortFromServiceLog(std::string_view logText);

} // namespace vserver::client
