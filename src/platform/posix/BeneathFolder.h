#pragma once
// What a PlaceBeneath holds in the POSIX backend: the open folder that holds its entry. Used by
// the backend's functions on places only.

#include <fcntl.h>
#include <sys/stat.h>

#include <memory>
#include <string>

#include "platform/Beneath.h"
#include "platform/posix/Descriptor.h"

namespace vserver::platform {

struct PlaceBeneath::Folder {
    Descriptor fd;      // the folder itself, open (perhaps only to name it, O_PATH); closed for
                        // the root folder named by its path (see FolderFd)
    std::string path;   // the folder's path as stored (see DiskNames.h), for the kept listings
};

namespace beneath {

// What a call on the place's entry is relative to, and the entry's name there. An entry directly
// in the root folder is named by its whole path: the root itself may lie anywhere, and a call
// that does not follow the entry's own link (O_NOFOLLOW, AT_SYMLINK_NOFOLLOW, or one that never
// follows: rename, unlink, mkdir, an exclusive create) cannot leave it from there.
inline int FolderFd(const PlaceBeneath& place) {
    return place.folder->fd.valid() ? place.folder->fd.get() : AT_FDCWD;
}
inline const std::string& NameIn(const PlaceBeneath& place) {
    if (!place.stored.empty()) return place.stored;
    return place.folder->fd.valid() ? place.name : place.path;
}

// The entry's name in its folder, as stored.
std::string StoredName(const PlaceBeneath& place);
// The entry's path, as stored.
std::string StoredPath(const PlaceBeneath& place);

// The place's folder opened for reading (to list it, sync it, make entries in it).
Descriptor OpenFolderToWrite(const PlaceBeneath& place);

// Whether lookups may use openat2. Off, they take the walk component by component alone, as on
// a system without openat2; tests use it to show that the walk gives the same answers.
void AllowOpenat2(bool allowed);

// The place of the entry name (as stored) in folder, with the entry's status (its link not followed), or
// a missing place when status is nullptr.
PlaceBeneath PlaceIn(std::shared_ptr<const PlaceBeneath::Folder> folder, std::string name, const struct stat* status);

} // namespace beneath

} // namespace vserver::platform
