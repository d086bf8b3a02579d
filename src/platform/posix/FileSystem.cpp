#include "platform/FileSystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/DurableWrites.h"
#include "platform/PathText.h"
#include "platform/posix/HeldTemporaries.h"
#include "platform/posix/NameLookup.h"
#include "platform/TemporaryFile.h"
#include "platform/TextCase.h"

namespace vserver::platform {

namespace {

using names::Join;
using names::ResolveByListing;
using names::ResolveForCreate;

SysResult Fail(const char* call) { return SysResult::Failure(call, errno); }

SysResult WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t written = ::write(fd, data.data(), data.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return Fail("write");
        }
        data.remove_prefix(static_cast<std::size_t>(written));
    }
    return SysResult::Ok();
}

// Reads the regular file fd to its end, handing each chunk to take; stops at the first failure
// of either. A read of a regular file returns fewer bytes than asked only at the file's end, so
// a file smaller than the buffer takes one read.
template <typename Take>
SysResult ReadChunks(int fd, Take take) {
    char buffer[65536];
    for (;;) {
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return Fail("read");
        if (got == 0) return SysResult::Ok();
        if (SysResult taken = take(std::string_view(buffer, static_cast<std::size_t>(got))); !taken) return taken;
        if (static_cast<std::size_t>(got) < sizeof buffer) return SysResult::Ok();
    }
}

// The status of the entry path names (a link followed) and its path as stored; one call when
// path is spelled as stored.
std::optional<std::string> StatExisting(std::string_view path, struct stat& st) {
    std::string whole(path);
    if (::stat(whole.c_str(), &st) == 0) return whole;
    if (errno != ENOENT) return std::nullopt;
    auto stored = ResolveByListing(path);
    if (!stored || ::stat(stored->c_str(), &st) != 0) return std::nullopt;
    return stored;
}

// Moves a finished temporary file to target unless an entry of that name appeared meanwhile;
// where the file system cannot rename without replacing, a hard link does the same.
SysResult MoveIntoPlaceNoOverwrite(const std::string& temporary, const std::string& target) {
    if (::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
        return SysResult::Ok();
    }
    if (errno != EINVAL && errno != ENOSYS) return Fail("rename");
    if (::link(temporary.c_str(), target.c_str()) != 0) return Fail("link");
    (void)::unlink(temporary.c_str());
    return SysResult::Ok();
}

} // namespace

std::string FullPathForm(std::string_view path) {
    if (!path.empty() && path.front() == '/') return CollapsePath(path, "/");
    std::string base(4096, '\0');
    if (::getcwd(base.data(), base.size()) == nullptr) return CollapsePath(path, "/");
    base.resize(base.find('\0'));
    return CollapsePath(path, base);
}

SysResult IsReadOnly(std::string_view path, bool& readOnly) {
    struct stat st {};
    if (!StatExisting(path, st)) return SysResult::Failure("stat", errno == 0 ? ENOENT : errno);
    readOnly = (st.st_mode & S_IWUSR) == 0;
    return SysResult::Ok();
}

SysResult ClearReadOnly(std::string_view path) {
    struct stat st {};
    auto resolved = StatExisting(path, st);
    if (!resolved) return SysResult::Failure("chmod", ENOENT);
    if (::chmod(resolved->c_str(), (st.st_mode & 07777) | S_IWUSR) != 0) return Fail("chmod");
    return SysResult::Ok();
}

SysResult SetReadOnly(std::string_view path) {
    struct stat st {};
    auto resolved = StatExisting(path, st);
    if (!resolved) return SysResult::Failure("chmod", ENOENT);
    if (::chmod(resolved->c_str(), st.st_mode & 07777 & ~mode_t{S_IWUSR | S_IWGRP | S_IWOTH}) != 0) {
        return Fail("chmod");
    }
    return SysResult::Ok();
}

SysResult CreateFolder(std::string_view path) {
    auto target = ResolveForCreate(path);
    if (!target) return SysResult::Failure("mkdir", ENOENT);
    if (::mkdir(target->path.c_str(), 0777) != 0) return Fail("mkdir");
    return SysResult::Ok();
}

SysResult RemoveFolder(std::string_view path) {
    auto resolved = ResolveExisting(path);
    if (!resolved) return SysResult::Failure("rmdir", ENOENT);
    if (::rmdir(resolved->c_str()) != 0) return Fail("rmdir");
    return SysResult::Ok();
}

SysResult RemoveFile(std::string_view path) {
    auto resolved = ResolveExisting(path);
    if (!resolved) return SysResult::Failure("unlink", ENOENT);
    if (::unlink(resolved->c_str()) != 0) return Fail("unlink");
    return SysResult::Ok();
}

SysResult CopyFileNoOverwrite(std::string_view from, std::string_view to) {
    auto source = ResolveExisting(from);
    if (!source) return SysResult::Failure("open", ENOENT);
    auto target = ResolveForCreate(to);
    if (!target) return SysResult::Failure("open", ENOENT);
    if (target->exists) return SysResult::Failure("open", EEXIST);

    int in = ::open(source->c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return Fail("open");
    struct stat st {};
    if (::fstat(in, &st) != 0) {
        SysResult failed = Fail("fstat");
        ::close(in);
        return failed;
    }
    // The copy is written aside and moved into place whole, so a kill in mid-copy never leaves
    // a truncated file under the target's name.
    RemoveStaleTemporaries(target->path);
    const std::string temporary = TemporaryNameFor(target->path);
    int out = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 0777);
    if (out < 0) {
        SysResult failed = Fail("open");
        ::close(in);
        return failed;
    }
    SysResult result = ReadChunks(in, [out](std::string_view chunk) { return WriteAll(out, chunk); });
    if (result && ::fsync(out) != 0) result = Fail("fsync");
    if (::close(out) != 0 && result) result = Fail("close");
    ::close(in);
    if (result) result = MoveIntoPlaceNoOverwrite(temporary, target->path);
    if (!result) {
        (void)::unlink(temporary.c_str());
        return result;
    }
    (void)SyncFolderOf(target->path);
    return result;
}

SysResult ReadWholeFile(std::string_view path, std::string& out) {
    out.clear();
    // Opening is the lookup for a name spelled as stored. O_NONBLOCK keeps a pipe put in the
    // file's place from stopping the server in the open.
    constexpr int kFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK;
    std::string whole(path);
    int fd = ::open(whole.c_str(), kFlags);
    if (fd < 0 && errno == ENOENT) {
        auto resolved = ResolveByListing(path);
        if (!resolved) return SysResult::Failure("open", ENOENT);
        fd = ::open(resolved->c_str(), kFlags);
    }
    if (fd < 0) return Fail("open");
    SysResult result = ReadChunks(fd, [&out](std::string_view chunk) {
        out.append(chunk);
        return SysResult::Ok();
    });
    ::close(fd);
    return result;
}

SysResult StageReplacement(std::string_view path, std::string_view content, UnsyncedWrite& unsynced) {
    auto target = ResolveForCreate(path);
    if (!target) return SysResult::Failure("open", ENOENT);

    RemoveStaleTemporaries(target->path);
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
        temporary = TemporaryNameFor(target->path);
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) return Fail("open");
    }
    if (fd < 0) return SysResult::Failure("open", EEXIST);

    SysResult result = WriteAll(fd, content);
    if (result && target->exists && ::fchmod(fd, target->mode & 07777) != 0) result = Fail("fchmod");
    if (!result) {
        ::close(fd);
        (void)::unlink(temporary.c_str());
        return result;
    }
    // Until it is renamed, no other writer of the file may take it for a leftover.
    HoldTemporary(temporary);
    unsynced = UnsyncedWrite{};
    unsynced.file = static_cast<IoHandle>(fd);
    unsynced.temporary = std::move(temporary);
    unsynced.target = std::move(target->path);
    unsynced.syncFolder = true;
    return result;
}

SysResult ReplaceFileContent(std::string_view path, std::string_view content) {
    UnsyncedWrite write;
    if (SysResult staged = StageReplacement(path, content, write); !staged) return staged;
    const std::string target = write.target;
    write.syncFolder = false;
    if (SysResult replaced = CompleteWrite(write); !replaced) return replaced;
    // The rename is durable only once the folder is on disk too; failing that only weakens
    // durability across a power loss, the new content is in place for every reader.
    (void)SyncFolderOf(target);
    return SysResult::Ok();
}

} // namespace vserver::platform
