#include "platform/common/PathText.h"

#include <vector>

#include "formats/TextCase.h"
#include "platform/SystemTraits.h"

namespace vserver::platform {

namespace {

constexpr char kSep = kPathSeparator;

std::size_t LastSeparator(std::string_view path) {
    for (std::size_t i = path.size(); i > 0; --i) {
        if (IsPathSeparator(path[i - 1])) return i - 1;
    }
    return std::string_view::npos;
}

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
    std::size_t cut = LastSeparator(path);
    if (cut == std::string_view::npos) return {};
    // The separator of a root ("/", "C:\") belongs to the folder part.
    if (std::size_t root = PathRootLength(path); cut < root) return path.substr(0, root);
    return path.substr(0, cut);
}

std::string_view LastComponentOf(std::string_view path) {
    std::size_t cut = LastSeparator(path);
    return cut == std::string_view::npos ? path : path.substr(cut + 1);
}

std::string CollapsePath(std::string_view path, std::string_view base) {
    std::string joined;
    if (PathRootLength(path) == 0) {
        joined.append(base);
        joined.push_back(kSep);
    }
    joined.append(path);

    std::size_t rootLength = PathRootLength(joined);
    std::vector<std::string_view> parts;
    std::string_view rest = std::string_view(joined).substr(rootLength);
    while (!rest.empty()) {
        std::size_t cut = 0;
        while (cut < rest.size() && !IsPathSeparator(rest[cut])) ++cut;
        if (cut == rest.size()) cut = std::string_view::npos;
        std::string_view part = rest.substr(0, cut);
        rest = cut == std::string_view::npos ? std::string_view{} : rest.substr(cut + 1);
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
            continue;
        }
        parts.push_back(part);
    }
    std::string out = joined.substr(0, rootLength);
    for (char& c : out) {
        if (IsPathSeparator(c)) c = kSep;
    }
    if (out.empty() || out.back() != kSep) out.push_back(kSep);
    for (std::string_view part : parts) {
        if (out.back() != kSep) out.push_back(kSep);
        out.append(part);
    }
    return out;
}

std::vector<std::string_view> PathComponents(std::string_view path) {
    std::vector<std::string_view> parts;
    while (!path.empty()) {
        std::size_t cut = 0;
        while (cut < path.size() && !IsPathSeparator(path[cut])) ++cut;
        std::string_view part = path.substr(0, cut);
        path = cut < path.size() ? path.substr(cut + 1) : std::string_view{};
        if (!part.empty() && part != ".") parts.push_back(part);
    }
    return parts;
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
    auto samePrefix = [&](std::size_t length) {
        std::string_view head = inner.substr(0, length);
        std::string_view wanted = folder.substr(0, length);
        return kPathsIgnoreCase ? EqualNoCase(head, wanted) : head == wanted;
    };
    // Only a root ends in a separator in full form.
    if (folder.back() == kSep) return inner.size() > folder.size() && samePrefix(folder.size());
    return inner.size() > folder.size() + 1 && samePrefix(folder.size()) && inner[folder.size()] == kSep;
}

} // namespace vserver::platform
