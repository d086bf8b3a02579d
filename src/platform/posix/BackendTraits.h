#pragma once
// Facts about this operating system that shared platform code and callers need as constants.
// Each backend folder has its own copy of this header; everything else reaches it through
// platform/SystemTraits.h.

#include <cstdint>
#include <string_view>

namespace vserver::platform {

// A socket or other waitable handle, wide enough for every backend's native handle.
using IoHandle = std::uintptr_t;
// The value no open handle ever has (a descriptor of -1).
inline constexpr IoHandle kInvalidHandle = ~IoHandle{0};

// The separator used when joining paths on this platform.
inline constexpr char kPathSeparator = '/';

// True for every byte that separates path components.
inline constexpr bool IsPathSeparator(char c) { return c == '/'; }

// Whether two paths that differ only in capitals name the same entry.
inline constexpr bool kPathsIgnoreCase = false;

// The length of the root of an absolute path ("/"), 0 for a relative path.
inline constexpr std::size_t PathRootLength(std::string_view path) {
    return !path.empty() && path.front() == '/' ? 1 : 0;
}

} // namespace vserver::platform
