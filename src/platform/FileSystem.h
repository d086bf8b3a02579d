#pragma once
// The file system as the account store sees it: names matched without regard to case, a
// directory search with wildcards, the full form of a path, the read-only attribute, and the
// few changes the store makes (folders, copies, deletions, whole-file replacement).
//
// Every path argument is resolved component by component: a component is taken by its exact
// name when an entry of that name exists, else by the first entry of its folder whose name
// matches without regard to case. So "Users/jsmith/jsmithVantorelSettings.vts" finds
// "Users/JSMITH/JSMITHVantorelSettings.vts". A function that creates an entry keeps the last
// component as given unless an entry matching it already exists.
//
// A name spelled as stored costs one status call. Matching in other capitals reads the
// folder's names, which are kept for the next lookup while the folder's change stamps show
// that nothing in it was added, removed or renamed since (see FolderNameCache); on network
// file systems, whose stamps cannot be relied on, the folder is read each time.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/SysResult.h"

namespace vserver::platform {

struct DirectoryEntry {
    std::string name;      // as the file system stores it
    bool isFolder = false; // a folder, or a symbolic link to one
    bool isLink = false;   // a symbolic link (whatever it points to)
};

// The path as stored on disk, or nothing when some component does not exist.
std::optional<std::string> ResolveExisting(std::string_view path);

// An existing entry with what its callers ask of it.
struct FoundEntry {
    std::string path;       // every component as stored
    bool isFolder = false;  // a folder, or a symbolic link to one
    bool isLink = false;    // a symbolic link (whatever it points to)
    bool readOnly = false;  // of the entry, or of what a link points to
};

// The entry path names, or nothing when some component does not exist.
std::optional<FoundEntry> FindEntry(std::string_view path);

// The entries of a folder that match the pattern in the path's last component ("*" and "?",
// without regard to case), in the order the file system returns them. "." and ".." are never
// listed. A missing folder gives no entries and no error; a folder that cannot be read gives
// the failed call. A last component without wildcards finds at most the one entry it names.
SysResult FindEntries(std::string_view pattern, std::vector<DirectoryEntry>& out);

// The absolute form of path (relative paths are taken from the working folder) without "."
// or ".." parts, repeated separators or a trailing separator. Does not touch the entries.
std::string FullPathForm(std::string_view path);

// The read-only attribute: a missing write permission for the owner.
SysResult IsReadOnly(std::string_view path, bool& readOnly);
SysResult ClearReadOnly(std::string_view path);
SysResult SetReadOnly(std::string_view path);

// Creates one folder level; the parent must exist.
SysResult CreateFolder(std::string_view path);
// Removes an empty folder.
SysResult RemoveFolder(std::string_view path);
// Removes a file or a symbolic link (never what the link points to).
SysResult RemoveFile(std::string_view path);

// Copies the bytes of from into a new file to; fails with EEXIST when an entry named to
// exists already (in any capitals), and leaves no partial target behind on failure.
SysResult CopyFileNoOverwrite(std::string_view from, std::string_view to);

// The whole content of a file. A path spelled as stored is opened at once, without any lookup.
SysResult ReadWholeFile(std::string_view path, std::string& out);

// Replaces the file's content by writing a temporary file in the same folder and renaming it
// over the file, so a crash leaves the old content or the new one, never a mix. An existing
// file keeps its permission bits; a missing one is created (its folder must exist).
SysResult ReplaceFileContent(std::string_view path, std::string_view content);

} // namespace vserver::platform
