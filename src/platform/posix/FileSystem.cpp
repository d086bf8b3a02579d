#include "platform/FileSystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "formats/TextCase.h"
#include "platform/DurableWrites.h"
#include "platform/TemporaryFile.h"
#include "platform/common/PathText.h"
#include "platform/posix/Descriptor.h"
#include "platform/posix/DiskNames.h"
#include "platform/posix/FolderFiles.h"
#include "platform/posix/NameLookup.h"

namespace vserver::platform {

namespace {

using names::ResolveByListing;
using names::ResolveForCreate;

SysResult Fail(const char* call) { return SysResult::Failure(call, errno); }

// The status of the entry path names (a link followed) and its path as stored; one call when
// path is spelled as stored.
std::optional<std::string> StatExisting(std::string_view path, struct stat& st) {
    std::string whole = names::DiskForm(path);
    if (::stat(whole.c_str(), &st) == 0) return whole;
    if (errno != ENOENT) return std::nullopt;
    auto stored = ResolveByListing(whole);
    if (!stored || ::stat(stored->c_str(), &st) != 0) return std::nullopt;
    return stored;
}

// The folder a target path names (as ResolveForCreate gives it), opened to write in.
Descriptor OpenFolderOf(const std::string& target) {
    std::string folder(FolderPartOf(target));
    return Descriptor(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
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
    auto target = ResolveForCreate(names::DiskText(path).view());
    if (!target) return SysResult::Failure("mkdir", ENOENT);
    if (::mkdir(target->path.c_str(), 0777) != 0) return Fail("mkdir");
    return SysResult::Ok();
}

SysResult RemoveFolder(std::string_view path) {
    auto resolved = names::FindStored(path);
    if (!resolved) return SysResult::Failure("rmdir", ENOENT);
    if (::rmdir(resolved->c_str()) != 0) return Fail("rmdir");
    return SysResult::Ok();
}

SysResult RemoveFile(std::string_view path) {
    auto resolved = names::FindStored(path);
    if (!resolved) return SysResult::Failure("unlink", ENOENT);
    if (::unlink(resolved->c_str()) != 0) return Fail("unlink");
    return SysResult::Ok();
}

SysResult CopyFileNoOverwrite(std::string_view from, std::string_view to) {
    auto source = names::FindStored(from);
    if (!source) return SysResult::Failure("open", ENOENT);
    auto target = ResolveForCreate(names::DiskText(to).view());
    if (!target) return SysResult::Failure("open", ENOENT);
    if (target->exists) return SysResult::Failure("open", EEXIST);

    Descriptor in(::open(source->c_str(), O_RDONLY | O_CLOEXEC));
    if (!in.valid()) return Fail("open");
    struct stat st {};
    if (::fstat(in.get(), &st) != 0) return Fail("fstat");
    Descriptor folder = OpenFolderOf(target->path);
    if (!folder.valid()) return Fail("open");
    return CopyIntoFolder(in.get(), st, folder.get(), target->path);
}

SysResult ReadWholeFile(std::string_view path, std::string& out) {
    out.clear();
    // Opening is the lookup for a name spelled as stored. O_NONBLOCK keeps a pipe put in the
    // file's place from stopping the server in the open.
    constexpr int kFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK;
    std::string whole = names::DiskForm(path);
    int fd = ::open(whole.c_str(), kFlags);
    if (fd < 0 && errno == ENOENT) {
        auto resolved = ResolveByListing(whole);
        if (!resolved) return SysResult::Failure("open", ENOENT);
        fd = ::open(resolved->c_str(), kFlags);
    }
    if (fd < 0) return Fail("open");
    SysResult result = ReadAll(fd, out);
    ::close(fd);
    return result;
}

SysResult StageReplacement(std::string_view path, std::string_view content, UnsyncedWrite& unsynced) {
    auto target = ResolveForCreate(names::DiskText(path).view());
    if (!target) return SysResult::Failure("open", ENOENT);

    Descriptor folder = OpenFolderOf(target->path);
    if (!folder.valid()) return Fail("open");
    return StageReplacementIn(folder.get(), target->path, target->exists ? &target->mode : nullptr, content, unsynced);
}

} // namespace vserver::platform
