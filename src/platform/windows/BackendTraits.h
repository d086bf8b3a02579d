#pragma once
// Facts about this operating system that shared platform code and callers need as constants.
// Each backend folder has its own copy of this header; everything else reaches it through
// platform/SystemTraits.h.

#include <cstdint>
#include <string_view>

namespace vserver::platform {

// A socket or other waitable handle: a Winsock SOCKET is pointer-sized.
using IoHandle = std::uintptr_t;
// INVALID_SOCKET.
inline constexpr IoHandle kInvalidHandle = ~IoHandle{0};

// The separator used when joining paths on this platform.
inline constexpr char kPathSeparator = '\\';

// The system takes both slashes as separators; paths this program builds use the backslash.
inline constexpr bool IsPathSeparator(char c) { return c == '\\' || c == '/'; }

// Names differ only in capitals never name two entries.
inline constexpr bool kPathsIgnoreCase = true;

// The length of the root of an absolute path: "C:\" (3), "\\server\share\" (up to and with
// the separator after the share), or a bare "\" (1). 0 for a relative path. A drive without a
// separator ("C:x") is taken as the root "C:".
inline constexpr std::size_t PathRootLength(std::string_view path) {
    if (path.size() >= 2 && path[1] == ':' &&
        ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'))) {
        return path.size() >= 3 && IsPathSeparator(path[2]) ? 3 : 2;
    }
    if (path.size() >= 2 && IsPathSeparator(path[0]) && IsPathSeparator(path[1])) {
        std::size_t at = 2;
        for (int part = 0; part < 2 && at < path.size(); ++part) {
            while (at < path.size() && !IsPathSeparator(path[at])) ++at;
            if (at < path.size()) ++at;
        }
        return at;
    }
    return !path.empty() && IsPathSeparator(path.front()) ? 1 : 0;
}

} // namespace vserver::platform
