// The operations on places below a folder: each one works on the entry's name in the open
// folder that holds it, and never follows a link in the entry's place.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/Beneath.h"
#include "platform/posix/BeneathFolder.h"
#include "platform/posix/FolderFiles.h"

namespace vserver::platform {

namespace {

using Outcome = PlaceBeneath::Outcome;

SysResult Fail(const char* call) { return SysResult::Failure(call, errno); }

// The failure of a call on a place that holds no entry, or no folder to put one in.
SysResult NotThere(const char* call, const PlaceBeneath& place) {
    return SysResult::Failure(call, place.outcome == Outcome::Outside ? kOutsideError : ENOENT);
}

bool HasFolder(const PlaceBeneath& place) {
    return place.outcome == Outcome::Found || place.outcome == Outcome::Missing;
}

using beneath::FolderFd;
using beneath::NameIn;

} // namespace

SysResult ReadWholeFile(const PlaceBeneath& place, std::string& out) {
    out.clear();
    if (!place.found()) return NotThere("open", place);
    // O_NONBLOCK keeps a pipe put in the file's place from stopping the server in the open.
    Descriptor file(::openat(FolderFd(place), NameIn(place).c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    if (!file.valid()) return Fail("open");
    return ReadAll(file.get(), out);
}

SysResult ClearReadOnly(const PlaceBeneath& place) {
    if (!place.found()) return NotThere("chmod", place);
    struct stat st {};
    if (::fstatat(FolderFd(place), NameIn(place).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return Fail("stat");
    const mode_t mode = (st.st_mode & 07777) | S_IWUSR;
    // Through a descriptor of the entry itself where it can be opened, else by name without
    // following a link (the C library does that through /proc).
    Descriptor entry(::openat(FolderFd(place), NameIn(place).c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    if (entry.valid()) return ::fchmod(entry.get(), mode) == 0 ? SysResult::Ok() : Fail("fchmod");
    if (::fchmodat(FolderFd(place), NameIn(place).c_str(), mode, AT_SYMLINK_NOFOLLOW) != 0) return Fail("chmod");
    return SysResult::Ok();
}

SysResult RemoveEntry(const PlaceBeneath& place) {
    if (!place.found()) return NotThere("unlink", place);
    const int flags = place.isFolder && !place.isLink ? AT_REMOVEDIR : 0;
    if (::unlinkat(FolderFd(place), NameIn(place).c_str(), flags) != 0) return Fail(flags != 0 ? "rmdir" : "unlink");
    return SysResult::Ok();
}

SysResult CreateFolder(const PlaceBeneath& place) {
    if (place.found()) return SysResult::Failure("mkdir", EEXIST);
    if (!HasFolder(place)) return NotThere("mkdir", place);
    if (::mkdirat(FolderFd(place), NameIn(place).c_str(), 0777) != 0) return Fail("mkdir");
    return SysResult::Ok();
}

SysResult CopyFileNoOverwrite(const PlaceBeneath& from, const PlaceBeneath& to) {
    if (!from.found()) return NotThere("open", from);
    if (to.found()) return SysResult::Failure("open", EEXIST);
    if (!HasFolder(to)) return NotThere("open", to);
    Descriptor in(::openat(FolderFd(from), NameIn(from).c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    if (!in.valid()) return Fail("open");
    struct stat st {};
    if (::fstat(in.get(), &st) != 0) return Fail("fstat");
    if (!S_ISREG(st.st_mode)) return SysResult::Failure("open", EISDIR);
    Descriptor folder = beneath::OpenFolderToWrite(to);
    if (!folder.valid()) return Fail("open");
    return CopyIntoFolder(in.get(), st, folder.get(), beneath::StoredPath(to));
}

SysResult StageReplacement(const PlaceBeneath& place, std::string_view content, UnsyncedWrite& unsynced) {
    if (!HasFolder(place)) return NotThere("open", place);
    Descriptor folder = beneath::OpenFolderToWrite(place);
    if (!folder.valid()) return Fail("open");
    struct stat st {};
    const bool exists = place.found() && ::fstatat(folder.get(), beneath::StoredName(place).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    return StageReplacementIn(folder.get(), beneath::StoredPath(place), exists ? &st.st_mode : nullptr, content, unsynced);
}

} // namespace vserver::platform
