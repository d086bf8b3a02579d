#include "platform/posix/FolderFiles.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>

#include "platform/TemporaryFile.h"
#include "platform/common/PathText.h"
#include "platform/posix/Descriptor.h"
#include "platform/posix/DiskNames.h"
#include "platform/posix/HeldTemporaries.h"

namespace vserver::platform {

namespace {

SysResult Fail(const char* call) { return SysResult::Failure(call, errno); }

std::string NameOf(const std::string& path) { return std::string(LastComponentOf(path)); }

// A new temporary for target in folder, created exclusively and never through a link.
SysResult CreateTemporary(int folder, const std::string& target, mode_t mode, Descriptor& file, std::string& temporary) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        temporary = TemporaryNameFor(target);
        file.Reset(::openat(folder, NameOf(temporary).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
        if (file.valid()) return SysResult::Ok();
        if (errno != EEXIST) return Fail("open");
    }
    return SysResult::Failure("open", EEXIST);
}

// Moves a finished temporary to target unless an entry of that name appeared meanwhile; where
// the file system cannot rename without replacing, a hard link does the same.
SysResult MoveIntoPlaceNoOverwrite(int folder, const std::string& temporary, const std::string& target) {
    const std::string from = NameOf(temporary);
    const std::string to = NameOf(target);
    if (::renameat2(folder, from.c_str(), folder, to.c_str(), RENAME_NOREPLACE) == 0) return SysResult::Ok();
    if (errno != EINVAL && errno != ENOSYS) return Fail("rename");
    if (::linkat(folder, from.c_str(), folder, to.c_str(), 0) != 0) return Fail("link");
    (void)::unlinkat(folder, from.c_str(), 0);
    return SysResult::Ok();
}

} // namespace

SysResult StageReplacementIn(int folder, const std::string& target, const mode_t* keptMode, std::string_view content,
                             UnsyncedWrite& unsynced) {
    RemoveStaleTemporariesIn(folder, target);
    Descriptor file;
    std::string temporary;
    if (SysResult created = CreateTemporary(folder, target, 0666, file, temporary); !created) return created;
    SysResult result = WriteAll(file.get(), content);
    if (result && keptMode != nullptr && ::fchmod(file.get(), *keptMode & 07777) != 0) result = Fail("fchmod");
    // The rename and the folder's sync go through a descriptor of this very folder.
    Descriptor renameIn(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (result && !renameIn.valid()) result = Fail("open");
    if (!result) {
        (void)::unlinkat(folder, NameOf(temporary).c_str(), 0);
        return result;
    }
    // The write names its files as the callers do, in the code page.
    unsynced = UnsyncedWrite{};
    unsynced.temporary = names::ShownForm(std::move(temporary));
    unsynced.target = names::ShownForm(target);
    // Until it is renamed, no other writer of the file may take it for a leftover.
    HoldTemporary(unsynced.temporary);
    unsynced.file = static_cast<IoHandle>(file.Release());
    unsynced.folder = static_cast<IoHandle>(renameIn.Release());
    unsynced.syncFolder = true;
    return result;
}

SysResult CopyIntoFolder(int source, const struct stat& sourceStatus, int folder, const std::string& target) {
    // The copy is written aside and moved into place whole, so a kill in mid-copy never leaves
    // a truncated file under the target's name.
    RemoveStaleTemporariesIn(folder, target);
    Descriptor out;
    std::string temporary;
    if (SysResult created = CreateTemporary(folder, target, sourceStatus.st_mode & 0777, out, temporary); !created) {
        return created;
    }
    SysResult result = ReadChunks(source, [&out](std::string_view chunk) { return WriteAll(out.get(), chunk); });
    if (result && ::fsync(out.get()) != 0) result = Fail("fsync");
    if (::close(out.Release()) != 0 && result) result = Fail("close");
    if (result) result = MoveIntoPlaceNoOverwrite(folder, temporary, target);
    if (!result) {
        (void)::unlinkat(folder, NameOf(temporary).c_str(), 0);
        return result;
    }
    // The new entry is durable only once the folder is on disk too; failing that only weakens
    // durability across a power loss.
    Descriptor synced(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (synced.valid()) (void)::fsync(synced.get());
    return result;
}

} // namespace vserver::platform
