#include "platform/Beneath.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <deque>
#include <optional>
#include <vector>

#include "platform/FileSystem.h"
#include "platform/common/PathText.h"
#include "formats/CodePage.h"
#include "platform/posix/BeneathFolder.h"
#include "platform/posix/DiskNames.h"
#include "platform/posix/NameLookup.h"

// Like the name lookups, this keeps state for the process (the open users folder) that is not
// guarded against use from two threads at once: every lookup runs on the server's one thread.

namespace vserver::platform {

namespace {

using Outcome = PlaceBeneath::Outcome;
using names::Join;

// As the kernel counts them: a way through more links than this is taken for a loop.
constexpr int kMaxLinks = 40;
// How often a step is looked up again when its entry changed between the lookup and the open.
constexpr int kMaxRetries = 8;

SysResult Fail(const char* call, int error) { return SysResult::Failure(call, error); }

// Whether openat2 may be called. A kernel before 5.6, or a sandbox that filters the call,
// answers ENOSYS or EPERM (E2BIG: a kernel that knows an older form of it); the walk component
// by component stands in from then on.
bool& Openat2Usable() {
    static bool usable = true;
    return usable;
}

bool Openat2Unavailable(int error) { return error == ENOSYS || error == EPERM || error == E2BIG; }

// Opens relative below root; the kernel refuses any step that would leave root, through ".."
// or a symbolic link, with EXDEV.
int OpenBelow(int root, const std::string& relative, int flags) {
    open_how how{};
    how.flags = static_cast<__u64>(flags | O_CLOEXEC);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    return static_cast<int>(::syscall(SYS_openat2, root, relative.c_str(), &how, sizeof how));
}

// The folder below which everything is looked up, kept open between lookups while its path
// still names it: checking that costs one status call, which also gives its current stamps.
struct Root {
    std::string path;     // as the caller gave it
    std::string opened;   // as stored, when the caller's capitals differ
    Descriptor fd;
    struct stat status {};

    // The path that names the folder, for the kept listings and for its entries' places.
    const std::string& stored() const { return opened.empty() ? path : opened; }
};

// The root path last found to lead through a link: the quick read by path, which follows no
// link at all, is not even tried below it.
std::string& LinkedRootPath() {
    static std::string path;
    return path;
}

void NoteWhetherLinked(const Root& root) {
    std::string real(PATH_MAX, '\0');
    const std::string self = "/proc/self/fd/" + std::to_string(root.fd.get());
    ssize_t length = ::readlink(self.c_str(), real.data(), real.size());
    const bool linked = length <= 0 || CollapsePath(root.path, "/") != std::string_view(real.data(), static_cast<std::size_t>(length));
    if (linked) {
        LinkedRootPath() = root.path;
    } else if (LinkedRootPath() == root.path) {
        LinkedRootPath().clear();
    }
}

bool Names(const std::string& path, const struct stat& kept, struct stat& now) {
    return ::stat(path.c_str(), &now) == 0 && now.st_dev == kept.st_dev && now.st_ino == kept.st_ino;
}

const Root* OpenRoot(std::string_view folder) {
    static Root kept;
    struct stat now {};
    if (kept.fd.valid() && kept.path == folder &&
        (Names(kept.path, kept.status, now) || (!kept.opened.empty() && Names(kept.opened, kept.status, now)))) {
        kept.status = now;
        return &kept;
    }
    kept = Root{};
    kept.path = std::string(folder);
    kept.fd.Reset(::open(kept.path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!kept.fd.valid() && errno == ENOENT) {
        // The folder may be spelled in other capitals than stored.
        if (auto stored = names::ResolveByListing(folder)) {
            kept.opened = std::move(*stored);
            kept.fd.Reset(::open(kept.opened.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        }
    }
    if (!kept.fd.valid() || ::fstat(kept.fd.get(), &kept.status) != 0) {
        kept = Root{};
        return nullptr;
    }
    NoteWhetherLinked(kept);
    return &kept;
}

std::deque<std::string> SplitWay(std::string_view way) {
    std::vector<std::string_view> parts = PathComponents(way);
    return std::deque<std::string>(parts.begin(), parts.end());
}

// The entry a walk reached: the open folder that holds it (none for the root, named by its path)
// and its name there.
struct Reached {
    Outcome outcome = Outcome::NoFolder;
    Descriptor folder;
    std::string folderPath;
    std::string name;
};

// A walk below the root, one component at a time, each opened relative to the folder the step
// before reached and never through a link: a link is read and its target walked in turn, with
// ".." stepping back along the folders already reached, so no step can get above the root.
class Walk {
public:
    explicit Walk(const Root& root) : root_(root) {}
    Reached Run(std::string_view relative, FinalLink last);

private:
    struct Step {
        Descriptor fd;
        std::string path;
    };
    int CurrentFd() const { return steps_.empty() ? root_.fd.get() : steps_.back().fd.get(); }
    const std::string& CurrentPath() const { return steps_.empty() ? root_.stored() : steps_.back().path; }
    Reached At(Outcome outcome, std::string name);
    bool FollowLink(const std::string& name, std::deque<std::string>& parts);
    std::optional<std::string> BelowRoot(const std::string& target) const;

    const Root& root_;
    std::vector<Step> steps_;
    int links_ = 0;
};

EntryKind KindAt(int folder, const std::string& name) {
    struct stat st {};
    if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return EntryKind::Unknown;
    if (S_ISLNK(st.st_mode)) return EntryKind::Link;
    return S_ISDIR(st.st_mode) ? EntryKind::Folder : EntryKind::File;
}

Reached Walk::Run(std::string_view relative, FinalLink last) {
    std::deque<std::string> parts = SplitWay(relative);
    int retries = 0;
    while (!parts.empty()) {
        std::string part = std::move(parts.front());
        parts.pop_front();
        if (part == "..") {
            if (steps_.empty()) return At(Outcome::Outside, {});
            steps_.pop_back();
            continue;
        }
        const bool final = parts.empty();
        auto entry = names::LookUpIn(CurrentFd(), CurrentPath(), part);
        if (!entry) return final ? At(Outcome::Missing, std::move(part)) : Reached{};
        EntryKind kind = entry->kind == EntryKind::Unknown ? KindAt(CurrentFd(), entry->name) : entry->kind;
        if (kind == EntryKind::Link && !(final && last == FinalLink::Keep)) {
            if (!FollowLink(entry->name, parts)) return At(Outcome::Outside, {});
            continue;
        }
        if (final) return At(Outcome::Found, std::move(entry->name));
        if (kind != EntryKind::Folder) return {};
        Descriptor next(::openat(CurrentFd(), entry->name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next.valid()) {
            // The entry changed since it was looked up (a link in its place, perhaps): look again.
            if ((errno == ENOTDIR || errno == ELOOP || errno == ENOENT) && ++retries <= kMaxRetries) {
                parts.push_front(std::move(part));
                continue;
            }
            return {};
        }
        std::string path = Join(CurrentPath(), entry->name);
        steps_.push_back({std::move(next), std::move(path)});
    }
    // An empty way names the root itself, which is no entry below it.
    return {};
}

Reached Walk::At(Outcome outcome, std::string name) {
    Reached reached;
    reached.outcome = outcome;
    if (outcome == Outcome::Outside) return reached;
    reached.folderPath = CurrentPath();
    reached.name = std::move(name);
    // An entry of the root itself is then named by its path (see FolderFd).
    if (!steps_.empty()) reached.folder = std::move(steps_.back().fd);
    return reached;
}

// Puts the link's target in front of the components still to walk. False when it cannot lead
// anywhere below the root: an absolute target elsewhere, a loop, a link that cannot be read.
bool Walk::FollowLink(const std::string& name, std::deque<std::string>& parts) {
    if (++links_ > kMaxLinks) return false;
    std::string target(PATH_MAX, '\0');
    ssize_t length = ::readlinkat(CurrentFd(), name.c_str(), target.data(), target.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) return false;
    target.resize(static_cast<std::size_t>(length));
    if (target.front() == '/') {
        auto below = BelowRoot(target);
        if (!below) return false;
        steps_.clear();
        target = std::move(*below);
    }
    std::deque<std::string> more = SplitWay(target);
    parts.insert(parts.begin(), more.begin(), more.end());
    return true;
}

// An absolute link target as a way below the root, when it names the root or an entry below
// it, by the root's real path or by the path it was given as. The way is walked from the root
// like any other, so it cannot leave it whatever it holds.
std::optional<std::string> Walk::BelowRoot(const std::string& target) const {
    const std::string collapsed = CollapsePath(target, "/");
    std::vector<std::string> roots{CollapsePath(root_.path, "/"), CollapsePath(root_.stored(), "/")};
    std::string real(PATH_MAX, '\0');
    const std::string self = "/proc/self/fd/" + std::to_string(root_.fd.get());
    ssize_t length = ::readlink(self.c_str(), real.data(), real.size());
    if (length > 0 && static_cast<std::size_t>(length) < real.size()) {
        real.resize(static_cast<std::size_t>(length));
        roots.push_back(std::move(real));
    }
    for (const std::string& root : roots) {
        if (collapsed == root) return std::string();
        if (IsStrictlyInside(collapsed, root)) return collapsed.substr(root.size() + (root.back() == '/' ? 0 : 1));
    }
    return std::nullopt;
}

// Up to two components of relative; false when it has more, none, or ".." parts.
bool SplitShort(std::string_view relative, std::string_view (&parts)[2], int& count) {
    const std::vector<std::string_view> all = PathComponents(relative);
    count = static_cast<int>(all.size());
    if (all.empty() || all.size() > 2) return false;
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (all[i] == "..") return false;
        parts[i] = all[i];
    }
    return true;
}

// The name to ask for in a folder of the given status: the stored name a kept listing gives,
// else name as asked; "" when a kept listing shows there is no such entry.
std::string NameToAsk(const std::string& key, const struct stat& folder, std::string_view name) {
    return names::KeptName(key, folder, name).value_or(std::string(name));
}

// The file relative names below folder, as a whole path for one open that follows no link at
// all: for the usual shapes, a name in the folder or in a folder directly below it, the second
// name taken from a kept listing where one answers. Nothing when the walk must find it; "" when
// a kept listing shows there is no such entry. As no link is followed and the way holds no
// "..", such an open cannot leave the folder, and needs no handle of it.
std::optional<std::string> QuickPath(std::string_view folder, std::string_view relative) {
    std::string_view parts[2];
    int count = 0;
    if (!SplitShort(relative, parts, count)) return std::nullopt;
    std::string path = Join(folder, parts[0]);
    if (count == 1) return path;
    struct stat home {};
    if (::lstat(path.c_str(), &home) != 0 || !S_ISDIR(home.st_mode)) return std::nullopt;
    std::string second = NameToAsk(path, home, parts[1]);
    if (second.empty()) return second;
    return Join(path, second);
}

// The same way below the open root, for one open that stays below it (links may be followed
// there): for a root whose own path leads through a link.
std::optional<std::string> QuickWay(const Root& root, std::string_view relative) {
    std::string_view parts[2];
    int count = 0;
    if (!SplitShort(relative, parts, count)) return std::nullopt;
    std::string first = NameToAsk(root.stored(), root.status, parts[0]);
    if (first.empty() || count == 1) return first;
    struct stat home {};
    // Only a folder itself: a link in its place is for the walk to follow or refuse.
    if (::fstatat(root.fd.get(), first.c_str(), &home, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(home.st_mode)) {
        return std::nullopt;
    }
    std::string second = NameToAsk(Join(root.stored(), first), home, parts[1]);
    if (second.empty()) return second;
    return Join(first, second);
}

int OpenNoLinks(const std::string& path, int flags) {
    open_how how{};
    how.flags = static_cast<__u64>(flags | O_CLOEXEC);
    how.resolve = RESOLVE_NO_SYMLINKS;
    return static_cast<int>(::syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how));
}

// What a quick open's failure means for the lookup: Ok to go on with a slower way, else the
// failure to report. Marks openat2 unusable where the system refuses it.
SysResult AfterQuickOpen(int error) {
    if (Openat2Unavailable(error)) {
        Openat2Usable() = false;
        return SysResult::Ok();
    }
    // A refused step (EXDEV, ELOOP) is judged again by the walk: the kernel refuses every
    // absolute link, also one that leads to the folder or below it.
    if (error == ENOENT || error == ENOTDIR || error == EAGAIN || error == EXDEV || error == ELOOP) return SysResult::Ok();
    return Fail("openat2", error);
}

Reached WalkFrom(const Root& root, std::string_view relative, FinalLink last) {
    return Walk(root).Run(relative, last);
}

// Fills in the status of the entry at place, its link not followed; false (the place left as it
// was) when there is no such entry.
bool StatPlace(PlaceBeneath& place) {
    struct stat st {};
    if (::fstatat(beneath::FolderFd(place), beneath::NameIn(place).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
    std::string name = beneath::StoredName(place);
    place = beneath::PlaceIn(std::move(place.folder), std::move(name), &st);
    return true;
}

} // namespace

namespace beneath {

PlaceBeneath PlaceIn(std::shared_ptr<const PlaceBeneath::Folder> folder, std::string name, const struct stat* status) {
    PlaceBeneath place;
    place.outcome = status != nullptr ? Outcome::Found : Outcome::Missing;
    place.path = Join(folder->path, name);
    place.name = std::move(name);
    if (!IsAscii(place.path)) {
        // Callers see the code page; calls on the entry use the spelling the disk has.
        place.stored = folder->fd.valid() ? place.name : place.path;
        place.name = names::ShownForm(std::string_view(place.name));
        place.path = names::ShownForm(std::string_view(place.path));
    }
    place.folder = std::move(folder);
    if (status != nullptr) {
        place.isLink = S_ISLNK(status->st_mode);
        place.isFolder = S_ISDIR(status->st_mode);
        place.readOnly = (status->st_mode & S_IWUSR) == 0;
    }
    return place;
}

Descriptor OpenFolderToWrite(const PlaceBeneath& place) {
    const Descriptor& folder = place.folder->fd;
    if (folder.valid()) return Descriptor(::openat(folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return Descriptor(::open(place.folder->path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

void AllowOpenat2(bool allowed) { Openat2Usable() = allowed; }

std::string StoredName(const PlaceBeneath& place) { return std::string(LastComponentOf(NameIn(place))); }

std::string StoredPath(const PlaceBeneath& place) {
    return place.folder->fd.valid() ? Join(place.folder->path, NameIn(place)) : NameIn(place);
}

} // namespace beneath

PlaceBeneath FindBeneath(std::string_view shownFolder, std::string_view shownRelative, FinalLink last) {
    const names::DiskText folderText(shownFolder), relativeText(shownRelative);
    const std::string_view folder = folderText.view(), relative = relativeText.view();
    // A name directly in the folder, spelled as stored, needs no handle of the folder and no
    // walk: its status, its link not followed, says all.
    std::string_view parts[2];
    int count = 0;
    if (SplitShort(relative, parts, count) && count == 1) {
        auto root = std::make_shared<PlaceBeneath::Folder>();
        root->path = std::string(folder);
        PlaceBeneath place = beneath::PlaceIn(std::move(root), std::string(parts[0]), nullptr);
        if (StatPlace(place) && (!place.isLink || last == FinalLink::Keep)) return place;
    }
    const Root* root = OpenRoot(folder);
    if (root == nullptr) return {};
    for (int attempt = 0; attempt <= kMaxRetries; ++attempt) {
        Reached reached = WalkFrom(*root, relative, last);
        if (reached.outcome != Outcome::Found && reached.outcome != Outcome::Missing) {
            PlaceBeneath place;
            place.outcome = reached.outcome;
            return place;
        }
        auto held = std::make_shared<PlaceBeneath::Folder>();
        held->fd = std::move(reached.folder);
        held->path = std::move(reached.folderPath);
        PlaceBeneath place = beneath::PlaceIn(std::move(held), std::move(reached.name), nullptr);
        if (reached.outcome == Outcome::Missing) return place;
        // A link that took the entry's place since the walk is walked again.
        if (StatPlace(place) && (!place.isLink || last == FinalLink::Keep)) return place;
    }
    return {};
}

SysResult ReadFileBeneath(std::string_view shownFolder, std::string_view shownRelative, std::string& out) {
    out.clear();
    const names::DiskText folderText(shownFolder), relativeText(shownRelative);
    const std::string_view folder = folderText.view(), relative = relativeText.view();
    // O_NONBLOCK keeps a pipe put in the file's place from stopping the server in the open.
    constexpr int kRead = O_RDONLY | O_NONBLOCK;
    if (Openat2Usable() && LinkedRootPath() != folder) {
        std::optional<std::string> path = QuickPath(folder, relative);
        if (path && path->empty()) return Fail("openat2", ENOENT);
        if (path) {
            Descriptor file(OpenNoLinks(*path, kRead));
            if (file.valid()) return ReadAll(file.get(), out);
            if (SysResult failed = AfterQuickOpen(errno); !failed) return failed;
        }
    }
    const Root* root = OpenRoot(folder);
    if (root == nullptr) return Fail("open", ENOENT);
    if (Openat2Usable()) {
        std::optional<std::string> way = QuickWay(*root, relative);
        if (way && way->empty()) return Fail("openat2", ENOENT);
        if (way) {
            Descriptor file(OpenBelow(root->fd.get(), *way, kRead));
            if (file.valid()) return ReadAll(file.get(), out);
            if (SysResult failed = AfterQuickOpen(errno); !failed) return failed;
        }
    }
    // The walk finds names in other capitals, follows links as far as they stay below the
    // folder, and stands in where openat2 cannot be used.
    for (int attempt = 0; attempt <= kMaxRetries; ++attempt) {
        Reached reached = WalkFrom(*root, relative, FinalLink::Follow);
        if (reached.outcome == Outcome::Outside) return Fail("openat", kOutsideError);
        if (reached.outcome != Outcome::Found) return Fail("openat", ENOENT);
        const bool inRoot = !reached.folder.valid();
        const std::string name = inRoot ? Join(reached.folderPath, reached.name) : reached.name;
        Descriptor file(::openat(inRoot ? AT_FDCWD : reached.folder.get(), name.c_str(), kRead | O_NOFOLLOW | O_CLOEXEC));
        if (file.valid()) return ReadAll(file.get(), out);
        // A link put in the file's place since the walk is walked again.
        if (errno != ELOOP) return Fail("openat", errno);
    }
    return Fail("openat", ELOOP);
}

SysResult ListBeneath(const PlaceBeneath& place, std::vector<PlaceBeneath>& entries) {
    entries.clear();
    if (!place.found() || !place.isFolder || place.isLink) return Fail("openat", ENOTDIR);
    auto held = std::make_shared<PlaceBeneath::Folder>();
    held->fd.Reset(::openat(beneath::FolderFd(place), beneath::NameIn(place).c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!held->fd.valid()) return Fail("openat", errno == ELOOP ? ENOTDIR : errno);
    held->path = beneath::StoredPath(place);
    names::DirectoryStream dir(held->fd.get());
    if (!dir.open()) return Fail("opendir", errno);
    while (const dirent* entry = dir.Next()) {
        struct stat st {};
        // An entry removed since the listing read it is no longer there to report.
        if (::fstatat(held->fd.get(), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        entries.push_back(beneath::PlaceIn(held, entry->d_name, &st));
    }
    return SysResult::Ok();
}

} // namespace vserver::platform
