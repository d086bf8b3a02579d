#pragma once
// Reading the server's service log as a tool sees it: its records as lines of text, and the
// port the server last said it listens on.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vserver::client {

inline constexpr int kDefaultPort = 1006;

// The port of the last "Server listening on port N" line of a service log text, if any.
std::optional<int> PortFromServiceLog(std::string_view logText);

// The records of a service log text, one line each without its CR LF: the NUL that ends the
// file is dropped, and a last record without its CR LF (one being written) is left out.
// consumed is set to the length of the text the returned records came from.
std::vector<std::string> ServiceLogRecords(std::string_view logText, std::size_t* consumed = nullptr);

} // namespace vserver::client
