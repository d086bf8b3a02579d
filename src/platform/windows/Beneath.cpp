// Places below a folder on Windows: every folder on the way is held open without sharing the
// right to delete, so that none of them can be renamed, removed or replaced while the place
// lives, and a reparse point (a junction, a symbolic link, a mount point) on any step below the
// folder is refused. What is done with a place then goes by its path, which names the held
// folders only.

#include "platform/Beneath.h"

#include <windows.h>

#include <cerrno>

#include "AttributeQuery.h"
#include "Win32Error.h"
#include "WindowsFiles.h"
#include "platform/FileSystem.h"
#include "platform/common/PathText.h"

namespace vserver::platform {

struct PlaceBeneath::Folder {
    Folder(std::shared_ptr<const Folder> above, HANDLE held, std::string stored)
        : parent(std::move(above)), handle(held), path(std::move(stored)) {}
    ~Folder() { ::CloseHandle(handle); }
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;

    std::shared_ptr<const Folder> parent;   // held as long as this one is
    HANDLE handle;
    std::string path;                       // as stored
};

namespace backend {

namespace {
AttributeQuery testQuery = nullptr;
}

void SetAttributeQueryForTests(AttributeQuery query) { testQuery = query; }

} // namespace backend

namespace {

using Outcome = PlaceBeneath::Outcome;

DWORD Attributes(const std::string& path, DWORD systemAnswer, backend::AttributeSource source) {
    return backend::testQuery != nullptr ? backend::testQuery(path, systemAnswer, source) : systemAnswer;
}
using FolderRef = std::shared_ptr<const PlaceBeneath::Folder>;

bool IsReparsePoint(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Opens the folder at path to hold it. The root may be a reparse point and is held where it
// leads; every other folder is opened as itself, a reparse point as the reparse point.
HANDLE Hold(const std::string& path, bool root) {
    const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (root ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    return ::CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         flags, nullptr);
}

// Whether the entry held open at path is a reparse point. Windows tells it by the handle; Wine
// shows a link of the Linux file system only in the attributes of its name, which now name the
// held entry.
bool HeldIsReparsePoint(HANDLE handle, const std::string& path) {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (::GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag) &&
        IsReparsePoint(tag.FileAttributes)) {
        return true;
    }
    return IsReparsePoint(Attributes(path, ::GetFileAttributesA(path.c_str()), backend::AttributeSource::Held));
}

PlaceBeneath PlaceOf(Outcome outcome) {
    PlaceBeneath place;
    place.outcome = outcome;
    return place;
}

PlaceBeneath PlaceIn(FolderRef folder, std::string name, const DWORD* attributes) {
    PlaceBeneath place;
    place.outcome = attributes != nullptr ? Outcome::Found : Outcome::Missing;
    place.path = files::Join(folder->path, name);
    place.name = std::move(name);
    place.folder = std::move(folder);
    if (attributes != nullptr) {
        place.isFolder = (*attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        place.isLink = IsReparsePoint(*attributes);
        place.readOnly = (*attributes & FILE_ATTRIBUTE_READONLY) != 0;
    }
    return place;
}

// The folder at path held below above, or nothing (outside set when it is a reparse point).
FolderRef HoldBelow(const FolderRef& above, const std::string& path, bool& outside) {
    HANDLE handle = Hold(path, false);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    if (HeldIsReparsePoint(handle, path)) {
        ::CloseHandle(handle);
        outside = true;
        return nullptr;
    }
    return std::make_shared<const PlaceBeneath::Folder>(above, handle, path);
}

SysResult NotThere(const char* call, const PlaceBeneath& place) {
    return SysResult::Failure(call, place.outcome == Outcome::Outside ? kOutsideError : ENOENT);
}

bool HasFolder(const PlaceBeneath& place) { return place.outcome == Outcome::Found || place.outcome == Outcome::Missing; }

} // namespace

PlaceBeneath FindBeneath(std::string_view folder, std::string_view relative, FinalLink last) {
    auto base = ResolveExisting(folder);
    if (!base) return {};
    HANDLE rootHandle = Hold(*base, true);
    if (rootHandle == INVALID_HANDLE_VALUE) return {};
    std::vector<FolderRef> way{std::make_shared<const PlaceBeneath::Folder>(nullptr, rootHandle, *base)};
    const std::vector<std::string_view> parts = PathComponents(relative);
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const std::string_view part = parts[i];
        const bool final = i + 1 == parts.size();
        if (part == "..") {
            if (way.size() == 1) return PlaceOf(Outcome::Outside);
            way.pop_back();
            continue;
        }
        auto entry = files::FindStoredEntry(way.back()->path, part);
        if (!entry) return final && !HasWildcard(part) ? PlaceIn(way.back(), std::string(part), nullptr) : PlaceBeneath{};
        const std::string path = files::Join(way.back()->path, entry->cFileName);
        const DWORD attributes = Attributes(path, entry->dwFileAttributes, backend::AttributeSource::Listing);
        if (IsReparsePoint(attributes) && !(final && last == FinalLink::Keep)) return PlaceOf(Outcome::Outside);
        if (final) return PlaceIn(way.back(), entry->cFileName, &attributes);
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return {};
        bool outside = false;
        FolderRef next = HoldBelow(way.back(), path, outside);
        if (!next) return outside ? PlaceOf(Outcome::Outside) : PlaceBeneath{};
        way.push_back(std::move(next));
    }
    return {};
}

SysResult ListBeneath(const PlaceBeneath& place, std::vector<PlaceBeneath>& entries) {
    entries.clear();
    if (!place.found() || !place.isFolder || place.isLink) return SysResult::Failure("FindFirstFileExA", ENOTDIR);
    bool outside = false;
    FolderRef folder = HoldBelow(place.folder, place.path, outside);
    if (!folder) return SysResult::Failure("CreateFileA", ENOTDIR);
    WIN32_FIND_DATAA data{};
    const std::string pattern = files::Join(place.path, "*");
    HANDLE search = ::FindFirstFileExA(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) return LastWin32Failure("FindFirstFileExA");
    do {
        std::string_view name = data.cFileName;
        if (name == "." || name == "..") continue;
        const DWORD attributes =
            Attributes(files::Join(place.path, name), data.dwFileAttributes, backend::AttributeSource::Listing);
        entries.push_back(PlaceIn(folder, data.cFileName, &attributes));
    } while (::FindNextFileA(search, &data));
    ::FindClose(search);
    return SysResult::Ok();
}

SysResult ReadFileBeneath(std::string_view folder, std::string_view relative, std::string& out) {
    out.clear();
    PlaceBeneath place = FindBeneath(folder, relative);
    if (!place.found()) return NotThere("CreateFileA", place);
    return ReadWholeFile(place, out);
}

SysResult ReadWholeFile(const PlaceBeneath& place, std::string& out) {
    out.clear();
    if (!place.found()) return NotThere("CreateFileA", place);
    OwnedHandle file(::CreateFileA(place.path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.valid()) return LastWin32Failure("CreateFileA");
    if (HeldIsReparsePoint(file.get(), place.path)) return SysResult::Failure("CreateFileA", kOutsideError);
    return files::ReadAllFrom(file.get(), out);
}

SysResult ClearReadOnly(const PlaceBeneath& place) {
    if (!place.found()) return NotThere("SetFileAttributesA", place);
    return ClearReadOnly(std::string_view(place.path));
}

SysResult RemoveEntry(const PlaceBeneath& place) {
    if (!place.found()) return NotThere("DeleteFileA", place);
    if (place.isFolder && !place.isLink) return RemoveFolder(std::string_view(place.path));
    return RemoveFile(std::string_view(place.path));
}

SysResult CreateFolder(const PlaceBeneath& place) {
    if (place.found()) return SysResult::Failure("CreateDirectoryA", EEXIST, ERROR_ALREADY_EXISTS);
    if (!HasFolder(place)) return NotThere("CreateDirectoryA", place);
    if (!::CreateDirectoryA(place.path.c_str(), nullptr)) return LastWin32Failure("CreateDirectoryA");
    return SysResult::Ok();
}

SysResult CopyFileNoOverwrite(const PlaceBeneath& from, const PlaceBeneath& to) {
    if (!from.found()) return NotThere("CopyFileA", from);
    if (to.found()) return SysResult::Failure("CopyFileA", EEXIST, ERROR_FILE_EXISTS);
    if (!HasFolder(to)) return NotThere("CopyFileA", to);
    return CopyFileNoOverwrite(std::string_view(from.path), std::string_view(to.path));
}

SysResult StageReplacement(const PlaceBeneath& place, std::string_view content, UnsyncedWrite& unsynced) {
    if (!HasFolder(place)) return NotThere("CreateFileA", place);
    return StageReplacement(std::string_view(place.path), content, unsynced);
}

SysResult AppendNulTerminated(const PlaceBeneath& place, std::string_view text, AppendOpen how, LockWait wait,
                              UnsyncedWrite* unsynced) {
    if (!HasFolder(place)) return NotThere("CreateFileA", place);
    if (unsynced != nullptr) return AppendNulTerminatedUnsynced(place.path, text, how, wait, *unsynced);
    return AppendNulTerminated(place.path, text, how, wait);
}

} // namespace vserver::platform
