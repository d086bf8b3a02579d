#include "client/RegistryPort.h"

#include <cctype>
#include <cstdlib>

namespace vserver::client {

namespace {

bool SameText(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
    }
    return true;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
    return text;
}

// Reads a quoted string with \\ and \" escapes from the front of text; the rest follows it.
std::optional<std::string> ReadQuoted(std::string_view& text) {
    if (text.empty() || text.front() != '"') return std::nullopt;
    std::string out;
    for (std::size_t i = 1; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\\' && i + 1 < text.size()) {
            out += text[++i];
        } else if (c == '"') {
            text.remove_prefix(i + 1);
            return out;
        } else {
            out += c;
        }
    }
    return std::nullopt;
}

} // namespace

std::optional<std::string> ReadRegistryString(std::string_view fileText, std::string_view key, std::string_view name) {
    std::optional<std::string> found;
    bool inKey = false;
    while (!fileText.empty()) {
        std::size_t end = fileText.find('\n');
        std::string_view line = Trim(fileText.substr(0, end));
        fileText.remove_prefix(end == std::string_view::npos ? fileText.size() : end + 1);
        if (!line.empty() && line.front() == '[') {
            inKey = line.back() == ']' && SameText(line.substr(1, line.size() - 2), key);
            continue;
        }
        if (!inKey) continue;
        std::optional<std::string> valueName = ReadQuoted(line);
        if (!valueName || !SameText(*valueName, name)) continue;
        line = Trim(line);
        if (line.empty() || line.front() != '=') continue;
        line = Trim(line.substr(1));
        // A value of another type (dword:, hex:) is no string, and hides an earlier one.
        found = ReadQuoted(line);
    }
    return found;
}

int PortFromRegistryText(std::string_view fileText) {
    std::optional<std::string> text = ReadRegistryString(fileText, kConnectionKey, "PortNumber");
    if (!text || text->empty()) return kDefaultPort;
    return std::atoi(text->c_str());
}

std::optional<int> PortFromServiceLog(std::string_view logText) {
    static constexpr std::string_view kMarker = "Server listening on port ";
    std::size_t at = logText.rfind(kMarker);
    if (at == std::string_view::npos) return std::nullopt;
    int port = std::atoi(std::string(logText.substr(at + kMarker.size(), 8)).c_str());
    if (port <= 0) return std::nullopt;
    return port;
}

} // namespace vserver::client
