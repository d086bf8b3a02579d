#include "platform/posix/NameLookup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <unordered_map>

#include "formats/CodePage.h"
#include "formats/TextCase.h"
#include "platform/FileSystem.h"
#include "platform/common/FolderNameCache.h"
#include "platform/common/PathText.h"
#include "platform/posix/DiskNames.h"

namespace vserver::platform {

namespace names {

std::string Join(std::string_view folder, std::string_view name) {
    std::string out;
    out.reserve(folder.size() + name.size() + 1);
    out.append(folder);
    if (!out.empty() && out.back() != '/') out.push_back('/');
    out.append(name);
    return out;
}

bool IsDotEntry(std::string_view name) { return name == "." || name == ".."; }

DirectoryStream::DirectoryStream(const std::string& folder)
    : dir_(::opendir(folder.empty() ? "." : folder.c_str())) {}

DirectoryStream::DirectoryStream(int folderFd) : dir_(nullptr) {
    // A descriptor of its own, as the stream closes it; opened for reading, which a descriptor
    // that only names the folder is not.
    int fd = ::openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    dir_ = ::fdopendir(fd);
    if (dir_ == nullptr) ::close(fd);
}

DirectoryStream::~DirectoryStream() {
    if (dir_ != nullptr) ::closedir(dir_);
}

const dirent* DirectoryStream::Next() {
    while (const dirent* entry = ::readdir(dir_)) {
        if (!IsDotEntry(entry->d_name)) return entry;
    }
    return nullptr;
}

} // namespace names

namespace {

using names::DirectoryStream;
using names::IsDotEntry;
using names::DiskForm;
using names::Join;
using names::ShownForm;

// Folder listings kept over all folders: about 130 bytes a name, so some 13 MB at most, enough
// for a users folder of tens of thousands of accounts and the home folders in use.
constexpr std::size_t kMaxListedNames = 100'000;

FolderNameCache& Listings() {
    static FolderNameCache cache(kMaxListedNames);
    return cache;
}

std::int64_t WallClockNs() {
    timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

std::int64_t Nanoseconds(const timespec& t) { return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec; }

FolderStamps StampsOf(const struct stat& st) {
    FolderStamps stamps;
    stamps.device = st.st_dev;
    stamps.inode = st.st_ino;
    stamps.modifiedNs = Nanoseconds(st.st_mtim);
    stamps.changedNs = Nanoseconds(st.st_ctim);
    stamps.size = static_cast<std::uint64_t>(st.st_size);
    stamps.links = st.st_nlink;
    return stamps;
}

EntryKind KindOfMode(mode_t mode) {
    if (S_ISDIR(mode)) return EntryKind::Folder;
    if (S_ISLNK(mode)) return EntryKind::Link;
    return EntryKind::File;
}

EntryKind KindOfType(unsigned char type) {
    switch (type) {
    case DT_UNKNOWN: return EntryKind::Unknown;
    case DT_DIR: return EntryKind::Folder;
    case DT_LNK: return EntryKind::Link;
    default: return EntryKind::File;
    }
}

// A folder found on disk: its path as stored and its status, read at readTimeNs or later.
// With fd, its entries are looked up relative to that open folder, and path only names it in
// the kept listings.
struct Folder {
    std::string path;
    struct stat status {};
    std::int64_t readTimeNs = 0;
    int fd = -1;
};

// The status of folder's entry name, its link not followed.
int StatEntry(const Folder& folder, std::string_view name, struct stat& st) {
    if (folder.fd >= 0) return ::fstatat(folder.fd, std::string(name).c_str(), &st, AT_SYMLINK_NOFOLLOW);
    return ::lstat(Join(folder.path, name).c_str(), &st);
}

// Reads the status of the folder at path; false (errno set) when there is none. The clock is
// read first, so readTimeNs never postdates the stamps.
bool StatFolder(const std::string& path, Folder& out) {
    out.readTimeNs = WallClockNs();
    if (::stat(path.empty() ? "." : path.c_str(), &out.status) != 0) return false;
    if (!S_ISDIR(out.status.st_mode)) {
        errno = ENOTDIR;
        return false;
    }
    out.path = path;
    return true;
}

// File systems whose change stamps come from another machine, or from a process that need not
// keep them, so that an unchanged stamp does not prove an unchanged folder.
bool IsNetworkFileSystem(unsigned long type) {
    switch (type) {
    case 0x6969:      // NFS
    case 0x517B:      // SMB
    case 0xFF534D42:  // CIFS
    case 0xFE534D42:  // SMB2
    case 0x73757245:  // Coda
    case 0x5346414F:  // AFS
    case 0x6B414653:  // kAFS
    case 0x564C:      // NCP
    case 0x65735546:  // FUSE (sshfs, virtiofs and the like)
    case 0x00C36400:  // Ceph
    case 0x01021997:  // 9P
    case 0x01161970:  // GFS2
    case 0x7461636F:  // OCFS2
    case 0x19920707:  // OrangeFS
    case 0x0BD00BD0:  // Lustre
    case 0x786F4256:  // VirtualBox shared folders
        return true;
    default:
        return false;
    }
}

// Whether listings of folders on this folder's file system may be kept; asked once a device.
bool ListingsReliable(const Folder& folder) {
    static std::unordered_map<dev_t, bool> byDevice;
    auto [known, added] = byDevice.try_emplace(folder.status.st_dev, false);
    if (added) {
        struct statfs fs {};
        const int read = folder.fd >= 0 ? ::fstatfs(folder.fd, &fs) : ::statfs(folder.path.empty() ? "." : folder.path.c_str(), &fs);
        known->second = read == 0 && !IsNetworkFileSystem(static_cast<unsigned long>(fs.f_type));
    }
    return known->second;
}

// name's form as compared without regard to case: its code-page form where that differs.
std::string FormOf(std::string_view name) { return IsAscii(name) ? std::string() : ShownForm(name); }

// The first entry of an unkept listing whose code-page form matches form without regard to case.
std::optional<ListedEntry> ScanFor(DirectoryStream& dir, std::string_view form) {
    while (const dirent* entry = dir.Next()) {
        if (EqualNoCase(ShownForm(std::string_view(entry->d_name)), form)) {
            return ListedEntry{entry->d_name, KindOfType(entry->d_type)};
        }
    }
    return std::nullopt;
}

// The entry of folder that name (in the form new names are stored) finds: the entry of exactly
// that name, else one of the code page's bytes as an earlier version stored them, else the first
// entry whose code-page form matches without regard to case. A kept listing answers while the
// folder's stamps (read by the caller for this lookup) are the ones it was scanned under;
// otherwise the exact names are tried first, and only a miss reads the folder, whose listing is
// then kept.
std::optional<ListedEntry> LookUp(const Folder& folder, std::string_view name) {
    if (IsDotEntry(name)) return ListedEntry{std::string(name), EntryKind::Folder};
    const bool reliable = ListingsReliable(folder);
    const FolderStamps stamps = StampsOf(folder.status);
    const std::string form = FormOf(name);
    if (reliable) {
        if (const FolderListing* listing = Listings().Find(folder.path, stamps)) {
            const ListedEntry* entry = listing->Find(name, form);
            return entry != nullptr ? std::optional<ListedEntry>(*entry) : std::nullopt;
        }
    }
    struct stat st {};
    if (StatEntry(folder, name, st) == 0) return ListedEntry{std::string(name), KindOfMode(st.st_mode)};
    if (!form.empty() && StatEntry(folder, form, st) == 0) return ListedEntry{form, KindOfMode(st.st_mode)};

    DirectoryStream dir = folder.fd >= 0 ? DirectoryStream(folder.fd) : DirectoryStream(folder.path);
    if (!dir.open()) return std::nullopt;
    if (!reliable) return ScanFor(dir, form.empty() ? name : std::string_view(form));
    FolderListing listing;
    while (const dirent* entry = dir.Next()) listing.Add(entry->d_name, KindOfType(entry->d_type), FormOf(entry->d_name));
    const ListedEntry* entry = listing.Find(name, form);
    std::optional<ListedEntry> found = entry != nullptr ? std::optional<ListedEntry>(*entry) : std::nullopt;
    Listings().Store(folder.path, stamps, folder.readTimeNs, std::move(listing));
    return found;
}

// The folder path names, every component as stored ("" is the working folder).
std::optional<Folder> ResolveFolder(std::string_view path) {
    Folder folder;
    if (StatFolder(std::string(path), folder)) return folder;
    if (errno != ENOENT || path.empty() || path == "/") return std::nullopt;
    auto parent = ResolveFolder(FolderPartOf(path));
    std::string_view name = LastComponentOf(path);
    if (!parent || name.empty()) return parent;
    auto entry = LookUp(*parent, name);
    if (!entry || !StatFolder(Join(parent->path, entry->name), folder)) return std::nullopt;
    return folder;
}

DirectoryEntry MakeEntry(const std::string& folder, const std::string& name, unsigned char type) {
    DirectoryEntry entry;
    entry.name = ShownForm(name);
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

} // namespace

namespace names {

std::optional<std::string> ResolveByListing(std::string_view path) {
    std::string_view name = LastComponentOf(path);
    auto folder = ResolveFolder(FolderPartOf(path));
    if (!folder) return std::nullopt;
    if (name.empty()) return Join(folder->path, "");
    auto entry = LookUp(*folder, name);
    if (!entry) return std::nullopt;
    return Join(folder->path, entry->name);
}

std::optional<ListedEntry> LookUpIn(int folderFd, const std::string& key, std::string_view name) {
    Folder folder;
    folder.readTimeNs = WallClockNs();
    if (::fstat(folderFd, &folder.status) != 0) return std::nullopt;
    folder.path = key;
    folder.fd = folderFd;
    return LookUp(folder, name);
}

std::optional<std::string> KeptName(const std::string& key, const struct stat& status, std::string_view name) {
    Folder folder;
    folder.path = key;
    folder.status = status;
    if (!ListingsReliable(folder)) return std::nullopt;
    const FolderListing* listing = Listings().Find(key, StampsOf(status));
    if (listing == nullptr) return std::nullopt;
    const ListedEntry* entry = listing->Find(name, FormOf(name));
    return entry != nullptr ? entry->name : std::string();
}

std::optional<std::string> FindStored(std::string_view path) {
    if (path.empty()) return std::nullopt;
    std::string whole = DiskForm(path);
    struct stat st {};
    if (::lstat(whole.c_str(), &st) == 0) return whole;
    return ResolveByListing(whole);
}

std::optional<Target> ResolveForCreate(std::string_view path) {
    Target target;
    struct stat st {};
    target.path = path;
    if (::lstat(target.path.c_str(), &st) != 0) {
        std::string_view name = LastComponentOf(path);
        auto folder = ResolveFolder(FolderPartOf(path));
        if (!folder) return std::nullopt;
        auto entry = name.empty() ? std::nullopt : LookUp(*folder, name);
        target.path = Join(folder->path, entry ? std::string_view(entry->name) : name);
        if (!entry || ::lstat(target.path.c_str(), &st) != 0) return target;
    }
    target.exists = !S_ISLNK(st.st_mode) || ::stat(target.path.c_str(), &st) == 0;
    target.mode = target.exists ? st.st_mode : 0;
    return target;
}

} // namespace names

std::optional<std::string> ResolveExisting(std::string_view path) {
    auto stored = names::FindStored(path);
    if (!stored) return std::nullopt;
    return ShownForm(std::move(*stored));
}

std::optional<FoundEntry> FindEntry(std::string_view path) {
    auto stored = names::FindStored(path);
    struct stat st {};
    if (!stored || ::lstat(stored->c_str(), &st) != 0) return std::nullopt;
    FoundEntry found;
    found.isLink = S_ISLNK(st.st_mode);
    const bool dangling = found.isLink && ::stat(stored->c_str(), &st) != 0;
    found.path = ShownForm(std::move(*stored));
    if (dangling) return found;
    found.isFolder = S_ISDIR(st.st_mode);
    found.readOnly = (st.st_mode & S_IWUSR) == 0;
    return found;
}

SysResult FindEntries(std::string_view pattern, std::vector<DirectoryEntry>& out) {
    out.clear();
    std::string_view name = LastComponentOf(pattern);
    if (name.empty() || IsDotEntry(name)) return SysResult::Ok();
    if (!HasWildcard(name)) {
        if (auto found = FindEntry(pattern)) {
            out.push_back({std::string(LastComponentOf(found->path)), found->isFolder, found->isLink});
        }
        return SysResult::Ok();
    }
    names::DiskText folderPart(FolderPartOf(pattern));
    auto folder = ResolveFolder(folderPart.view());
    if (!folder) return SysResult::Ok();
    DirectoryStream dir(folder->path);
    if (!dir.open()) return errno == ENOENT || errno == ENOTDIR ? SysResult::Ok() : SysResult::Failure("opendir", errno);
    while (const dirent* entry = dir.Next()) {
        // Names are matched in the code page, as the clients wrote the pattern.
        const bool ascii = IsAscii(entry->d_name);
        if (ascii ? MatchesWildcard(name, entry->d_name) : MatchesWildcard(name, ShownForm(std::string_view(entry->d_name)))) {
            out.push_back(MakeEntry(folder->path, entry->d_name, entry->d_type));
        }
    }
    return SysResult::Ok();
}

} // namespace vserver::platform
