#include "client/ServiceLogText.h"

#include <cstdlib>

namespace vserver::client {

std::optional<int> PortFromServiceLog(std::string_view logText) {
    static constexpr std::string_view kMarker = "Server listening on port ";
    std::size_t at = logText.rfind(kMarker);
    if (at == std::string_view::npos) return std::nullopt;
    int port = std::atoi(std::string(logText.substr(at + kMarker.size(), 8)).c_str());
    if (port <= 0) return std::nullopt;
    return port;
}

std::vector<std::string> ServiceLogRecords(std::string_view logText, std::size_t* consumed) {
    std::vector<std::string> records;
    std::size_t start = 0;
    for (std::size_t end = logText.find('\n'); end != std::string_view::npos; end = logText.find('\n', start)) {
        std::string_view line = logText.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        // A NUL ends the file; one left inside by another writer is no part of a record.
        std::string record;
        for (char c : line) {
            if (c != '\0') record += c;
        }
        records.push_back(std::move(record));
        start = end + 1;
    }
    if (consumed != nullptr) *consumed = start;
    return records;
}

} // namespace vserver::client
