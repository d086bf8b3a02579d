#pragma once
// The small rules of the registry file's text that both its reader and its editor follow: the
// header lines, blanks, and how key paths compare. Used inside formats/ only.

#include <string_view>

#include "formats/TextCase.h"

namespace vserver::platform::registry_syntax {

inline constexpr std::string_view kHeader = "REGEDIT4";
inline constexpr std::string_view kHeaderVersion5 = "Windows Registry Editor Version 5.00";

inline bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && EqualNoCase(text.substr(0, prefix.size()), prefix);
}

// A CR that does not end a line (a stray one before CR LF, or a lone one) counts as a blank.
inline bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

inline std::string_view TrimBlanks(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

// "[...\Options\]" and "[...\Options]" name the same key, so trailing separators never count.
inline std::string_view NormalizeKeyPath(std::string_view path) {
    path = TrimBlanks(path);
    while (!path.empty() && path.back() == '\\') path.remove_suffix(1);
    return path;
}

inline bool IsSameOrBelow(std::string_view candidate, std::string_view path) {
    if (!StartsWithNoCase(candidate, path)) return false;
    return candidate.size() == path.size() || candidate[path.size()] == '\\';
}

} // namespace vserver::platform::registry_syntax
