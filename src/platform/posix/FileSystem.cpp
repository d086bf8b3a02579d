#include "platform/FileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform/PathText.h"
#include "platform/TextCase.h"

namespace vserver::platform {

namespace {

std::string Join(std::string_view folder, std::string_view name) {
    std::string out;
    out.reserve(folder.size() + name.size() + 1);
    out.append(folder);
    if (!out.empty() && out.back() != '/') out.push_back('/');
    out.append(name);
    return out;
}

bool EntryExists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// Closes a directory stream when the search ends, however it ends.
class DirectoryStream {
public:
    explicit DirectoryStream(const std::string& folder)
        : dir_(::opendir(folder.empty() ? "." : folder.c_str())) {}
    ~DirectoryStream() {
        if (dir_ != nullptr) ::closedir(dir_);
    }
    DirectoryStream(const DirectoryStream&) = delete;
    DirectoryStream& operator=(const DirectoryStream&) = delete;
    bool open() const { return dir_ != nullptr; }
    const dirent* Next() { return ::readdir(dir_); }

private:
    DIR* dir_;
};

bool IsDotEntry(std::string_view name) { return name == "." || name == ".."; }

// The stored name of the entry of folder that is name exactly or, failing that, the first
// entry that matches it without regard to case.
std::optional<std::string> FindStoredName(const std::string& folder, std::string_view name) {
    if (EntryExists(Join(folder, name))) return std::string(name);
    DirectoryStream dir(folder);
    if (!dir.open()) return std::nullopt;
    while (const dirent* entry = dir.Next()) {
        if (EqualNoCase(entry->d_name, name)) return std::string(entry->d_name);
    }
    return std::nullopt;
}

// The folder part resolved and the last component as stored, or as given when no entry
// matches it. Nothing when the folder does not exist.
std::optional<std::string> ResolveForCreate(std::string_view path) {
    std::string_view folderPart = FolderPartOf(path);
    std::string_view name = LastComponentOf(path);
    std::string folder;
    if (!folderPart.empty()) {
        auto resolved = ResolveExisting(folderPart);
        if (!resolved) return std::nullopt;
        folder = *resolved;
    }
    if (name.empty() || IsDotEntry(name)) return Join(folder, name);
    auto stored = FindStoredName(folder, name);
    return Join(folder, stored ? *stored : std::string(name));
}

DirectoryEntry MakeEntry(const std::string& folder, const std::string& name, unsigned char type) {
    DirectoryEntry entry;
    entry.name = name;
    if (type == DT_DIR) {
        entry.isFolder = true;
    } else if (type == DT_LNK || type == DT_UNKNOWN) {
        struct stat st {};
        std::string full = Join(folder, name);
        if (::lstat(full.c_str(), &st) == 0) {
            entry.isLink = S_ISLNK(st.st_mode);
            if (entry.isLink) {
                struct stat target {};
                entry.isFolder = ::stat(full.c_str(), &target) == 0 && S_ISDIR(target.st_mode);
            } else {
                entry.isFolder = S_ISDIR(st.st_mode);
            }
        }
    }
    return entry;
}

DirectoryEntry MakeEntryByStat(const std::string& folder, const std::string& name) {
    return MakeEntry(folder, name, DT_UNKNOWN);
}

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

// Reads fd to its end, handing each chunk to take; stops at the first failure of either.
template <typename Take>
SysResult ReadChunks(int fd, Take take) {
    char buffer[65536];
    for (;;) {
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return Fail("read");
        if (got == 0) return SysResult::Ok();
        if (SysResult taken = take(std::string_view(buffer, static_cast<std::size_t>(got))); !taken) return taken;
    }
}

std::string TemporaryNameFor(const std::string& target) {
    static std::atomic<unsigned> counter{0};
    std::string folder(FolderPartOf(target));
    std::string name = ".";
    name += LastComponentOf(target);
    name += ".tmp-";
    name += std::to_string(::getpid());
    name += '-';
    name += std::to_string(counter++);
    return folder.empty() ? name : Join(folder, name);
}

} // namespace

std::optional<std::string> ResolveExisting(std::string_view path) {
    if (path.empty()) return std::nullopt;
    std::string whole(path);
    if (EntryExists(whole)) return whole;

    // Start below the deepest folder that exists under its exact name: usually only the last
    // component is spelled in other capitals, and the folders above it need no scan.
    std::string current = path.front() == '/' ? "/" : "";
    std::string_view rest = path;
    for (std::size_t cut = path.rfind('/'); cut != std::string_view::npos && cut > 0; cut = path.rfind('/', cut - 1)) {
        std::string prefix(path.substr(0, cut));
        if (EntryExists(prefix)) {
            current = prefix;
            rest = path.substr(cut + 1);
            break;
        }
    }
    while (!rest.empty()) {
        std::size_t cut = rest.find('/');
        std::string_view part = rest.substr(0, cut);
        rest = cut == std::string_view::npos ? std::string_view{} : rest.substr(cut + 1);
        if (part.empty()) continue;
        auto stored = IsDotEntry(part) ? std::optional<std::string>(std::string(part))
                                       : FindStoredName(current, part);
        if (!stored) return std::nullopt;
        current = Join(current, *stored);
    }
    if (!EntryExists(current)) return std::nullopt;
    return current;
}

SysResult FindEntries(std::string_view pattern, std::vector<DirectoryEntry>& out) {
    out.clear();
    std::string_view name = LastComponentOf(pattern);
    if (name.empty() || IsDotEntry(name)) return SysResult::Ok();
    std::string folder;
    if (std::string_view folderPart = FolderPartOf(pattern); !folderPart.empty()) {
        auto resolved = ResolveExisting(folderPart);
        if (!resolved) return SysResult::Ok();
        folder = *resolved;
    }
    if (!HasWildcard(name)) {
        if (auto stored = FindStoredName(folder, name)) out.push_back(MakeEntryByStat(folder, *stored));
        return SysResult::Ok();
    }
    DirectoryStream dir(folder);
    if (!dir.open()) return errno == ENOENT || errno == ENOTDIR ? SysResult::Ok() : Fail("opendir");
    while (const dirent* entry = dir.Next()) {
        std::string_view entryName = entry->d_name;
        if (IsDotEntry(entryName) || !MatchesWildcard(name, entryName)) continue;
        out.push_back(MakeEntry(folder, entry->d_name, entry->d_type));
    }
    return SysResult::Ok();
}

std::string FullPathForm(std::string_view path) {
    if (!path.empty() && path.front() == '/') return CollapsePath(path, "/");
    std::string base(4096, '\0');
    if (::getcwd(base.data(), base.size()) == nullptr) return CollapsePath(path, "/");
    base.resize(base.find('\0'));
    return CollapsePath(path, base);
}

SysResult IsReadOnly(std::string_view path, bool& readOnly) {
    auto resolved = ResolveExisting(path);
    if (!resolved) return SysResult::Failure("stat", ENOENT);
    struct stat st {};
    if (::stat(resolved->c_str(), &st) != 0) return Fail("stat");
    readOnly = (st.st_mode & S_IWUSR) == 0;
    return SysResult::Ok();
}

SysResult ClearReadOnly(std::string_view path) {
    auto resolved = ResolveExisting(path);
    if (!resolved) return SysResult::Failure("chmod", ENOENT);
    struct stat st {};
    if (::stat(resolved->c_str(), &st) != 0) return Fail("stat");
    if (::chmod(resolved->c_str(), (st.st_mode & 07777) | S_IWUSR) != 0) return Fail("chmod");
    return SysResult::Ok();
}

SysResult SetReadOnly(std::string_view path) {
    auto resolved = ResolveExisting(path);
    if (!resolved) return SysResult::Failure("chmod", ENOENT);
    struct stat st {};
    if (::stat(resolved->c_str(), &st) != 0) return Fail("stat");
    if (::chmod(resolved->c_str(), st.st_mode & 07777 & ~mode_t{S_IWUSR | S_IWGRP | S_IWOTH}) != 0) {
        return Fail("chmod");
    }
    return SysResult::Ok();
}

SysResult CreateFolder(std::string_view path) {
    auto target = ResolveForCreate(path);
    if (!target) return SysResult::Failure("mkdir", ENOENT);
    if (::mkdir(target->c_str(), 0777) != 0) return Fail("mkdir");
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

    int in = ::open(source->c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return Fail("open");
    struct stat st {};
    if (::fstat(in, &st) != 0) {
        SysResult failed = Fail("fstat");
        ::close(in);
        return failed;
    }
    int out = ::open(target->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 0777);
    if (out < 0) {
        SysResult failed = Fail("open");
        ::close(in);
        return failed;
    }
    SysResult result = ReadChunks(in, [out](std::string_view chunk) { return WriteAll(out, chunk); });
    if (::close(out) != 0 && result) result = Fail("close");
    ::close(in);
    if (!result) (void)::unlink(target->c_str());
    return result;
}

SysResult ReadWholeFile(std::string_view path, std::string& out) {
    out.clear();
    auto resolved = ResolveExisting(path);
    if (!resolved) return SysResult::Failure("open", ENOENT);
    int fd = ::open(resolved->c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Fail("open");
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_size > 0) out.reserve(static_cast<std::size_t>(st.st_size));
    SysResult result = ReadChunks(fd, [&out](std::string_view chunk) {
        out.append(chunk);
        return SysResult::Ok();
    });
    ::close(fd);
    return result;
}

SysResult ReplaceFileContent(std::string_view path, std::string_view content) {
    auto target = ResolveForCreate(path);
    if (!target) return SysResult::Failure("open", ENOENT);
    struct stat existing {};
    bool exists = ::stat(target->c_str(), &existing) == 0;

    std::string temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
        temporary = TemporaryNameFor(*target);
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) return Fail("open");
    }
    if (fd < 0) return SysResult::Failure("open", EEXIST);

    SysResult result = WriteAll(fd, content);
    if (result && exists && ::fchmod(fd, existing.st_mode & 07777) != 0) result = Fail("fchmod");
    if (result && ::fsync(fd) != 0) result = Fail("fsync");
    if (::close(fd) != 0 && result) result = Fail("close");
    if (result && ::rename(temporary.c_str(), target->c_str()) != 0) result = Fail("rename");
    if (!result) (void)::unlink(temporary.c_str());
    return result;
}

} // namespace vserver::platform
