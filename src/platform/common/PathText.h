#pragma once
// Path texts without touching the file system: cutting a path into its folder and last
// component, the lexical full form, wildcard patterns, and the reading of client-supplied
// relative paths whose separator is a backslash.

#include <string>
#include <string_view>
#include <vector>

namespace vserver::platform {

// Everything before the last separator ("" for a bare name, "/" for "/name").
std::string_view FolderPartOf(std::string_view path);
// Everything after the last separator.
std::string_view LastComponentOf(std::string_view path);

// The absolute path base + path (base only when path is relative) with "." and ".." parts,
// repeated separators and a trailing separator removed. ".." above the root stays at the root.
std::string CollapsePath(std::string_view path, std::string_view base);

// The components of a path in order, cut at every separator, without empty ones or ".".
std::vector<std::string_view> PathComponents(std::string_view path);

// True when name holds "*" or "?".
bool HasWildcard(std::string_view name);

// Matches name against a pattern of "*" (any run of bytes) and "?" (one byte) without regard
// to case. A pattern ending in ".*" also matches a name without that extension, so "*.*"
// matches every name, as the directory search of the users' original platform does.
bool MatchesWildcard(std::string_view pattern, std::string_view name);

// A path that came from a client, with every "\" read as a separator.
std::string ClientPathToNative(std::string_view path);

// True when inner names an entry strictly below folder; both must be in full form.
bool IsStrictlyInside(std::string_view inner, std::string_view folder);

} // namespace vserver::platform
