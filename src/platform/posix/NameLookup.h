#pragma once
// Finding entries by name, as the file system functions of the POSIX backend share it: each
// component of a path is taken by its exact name when an entry of that name exists, else by
// the first entry of its folder whose name matches without regard to case. Folder listings are
// kept between lookups in one FolderNameCache for the process, which is not guarded against
// use from two threads at once: every lookup runs on the server's one thread.

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

#include "platform/common/FolderNameCache.h"

namespace vserver::platform::names {

std::string Join(std::string_view folder, std::string_view name);

bool IsDotEntry(std::string_view name);

// Unlike the functions of FileSystem.h, these take and give paths and names as stored (see
// DiskNames.h), except FindStored, which takes a path as the callers write it.

// The path an existing entry is stored under, as ResolveExisting finds it; nothing when some
// component does not exist.
std::optional<std::string> FindStored(std::string_view path);

// path with every component as stored, found through the folders' listings without first
// trying path as it is spelled: for callers that already know that spelling is missing.
std::optional<std::string> ResolveByListing(std::string_view path);

// Where an entry named by path is, or would be created: the folder as stored, and the last
// component as stored when an entry matches it, else as given.
struct Target {
    std::string path;
    bool exists = false;
    mode_t mode = 0;  // of the existing entry, or of what a symbolic link points to
};
// Nothing when the folder does not exist.
std::optional<Target> ResolveForCreate(std::string_view path);

// The entry of the open folder folderFd that name finds, through the same kept listings as
// every other lookup: the kept listing when the folder's stamps are still the ones it was read
// under, else the exact name, else a fresh listing. key names the folder among the kept
// listings (its path as stored). Nothing when no entry matches.
std::optional<ListedEntry> LookUpIn(int folderFd, const std::string& key, std::string_view name);

// What a kept listing of the folder key, whose status was just read, says about name: nothing
// when no listing is kept for these stamps, else the entry's stored name, or an empty name
// when the listing holds no entry that matches.
std::optional<std::string> KeptName(const std::string& key, const struct stat& status, std::string_view name);

// Closes a directory stream when the search ends, however it ends. "" is the working folder.
class DirectoryStream {
public:
    explicit DirectoryStream(const std::string& folder);
    // Lists the open folder folderFd (which stays open: the stream has a descriptor of its own).
    explicit DirectoryStream(int folderFd);
    ~DirectoryStream();
    DirectoryStream(const DirectoryStream&) = delete;
    DirectoryStream& operator=(const DirectoryStream&) = delete;
    bool open() const { return dir_ != nullptr; }
    // The next entry other than "." and "..", or nullptr at the end.
    const dirent* Next();

private:
    DIR* dir_;
};

} // namespace vserver::platform::names
