#include "platform/PathText.h"

#include "platform/ProcessInfo.h"
#include "platform/TextCase.h"

namespace vserver::platform {

namespace {

constexpr char kSep = kPathSeparator;

bool MatchFrom(std::string_view pattern, std::string_view name) {
    // Iterative glob with one backtracking point, linear in practice.
    std::size_t p = 0, n = 0;
    std::size_t starP = std::string_view::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starN = n;
        } else if (p < pattern.size() && (pattern[p] == '?' || UpperCase(pattern[p]) == UpperCase(name[n]))) {
            ++p;
            ++n;
        } else if (starP != std::string_view::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

} // namespace

std::string_view FolderPartOf(std::string_view path) {
    std::size_t cut = path.rfind(kSep);
    if (cut == std::string_view::npos) return {};
    if (cut == 0) return path.substr(0, 1);
    return path.substr(0, cut);
}

std::string_view LastComponentOf(std::string_view path) {
    std::size_t cut = path.rfind(kSep);
    return cut == std::string_view::npos ? path : path.substr(cut + 1);
}

std::string CollapsePath(std::string_view path, std::string_view base) {
    std::string out;
    out.reserve(base.size() + path.size() + 1);
    // Appends each part of text to out, a ".." taking the part before it away.
    auto append = [&out](std::string_view text) {
        while (!text.empty()) {
            std::size_t cut = text.find(kSep);
            std::string_view part = text.substr(0, cut);
            text = cut == std::string_view::npos ? std::string_view{} : text.substr(cut + 1);
            if (part.empty() || part == ".") continue;
            if (part == "..") {
                out.resize(out.empty() ? 0 : out.rfind(kSep));
                continue;
            }
            out.push_back(kSep);
            out.append(part);
        }
    };
    if (path.empty() || path.front() != kSep) append(base);
    append(path);
    if (out.empty()) out.push_back(kSep);
    return out;
}

bool HasWildcard(std::string_view name) {
    return name.find_first_of("*?") != std::string_view::npos;
}

bool MatchesWildcard(std::string_view pattern, std::string_view name) {
    if (MatchFrom(pattern, name)) return true;
    if (pattern.size() >= 2 && pattern.substr(pattern.size() - 2) == ".*") {
        return MatchFrom(pattern.substr(0, pattern.size() - 2), name);
    }
    return false;
}

std::string ClientPathToNative(std::string_view path) {
    std::string out(path);
    for (char& c : out) {
        if (c == '\\') c = kSep;
    }
    return out;
}

bool IsStrictlyInside(std::string_view inner, std::string_view folder) {
    if (folder.empty()) return false;
    if (folder.size() == 1 && folder.front() == kSep) return inner.size() > 1 && inner.front() == kSep;
    return inner.size() > folder.size() + 1 && inner.substr(0, folder.size()) == folder &&
           inner[folder.size()] == kSep;
}

} // namespace vserver::platform
