#include "platform/FileSystem.h"

#include <windows.h>

#include <cerrno>

#include "BackendTraits.h"
#include "FolderNames.h"
#include "Win32Error.h"
#include "WindowsFiles.h"
#include "formats/TextCase.h"
#include "platform/DurableWrites.h"
#include "platform/StagedFolders.h"
#include "platform/TemporaryFile.h"
#include "platform/common/HeldTemporaries.h"
#include "platform/common/PathText.h"

namespace vserver::platform {

namespace {

using files::DirectorySearch;
using files::Join;

DWORD AttributesOf(const std::string& path) { return ::GetFileAttributesA(path.c_str()); }

bool EntryExists(const std::string& path) { return AttributesOf(path) != INVALID_FILE_ATTRIBUTES; }

bool IsDotEntry(std::string_view name) { return name == "." || name == ".."; }

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
    auto stored = files::StoredNameIn(folder, name);
    return Join(folder, stored ? *stored : std::string(name));
}

DirectoryEntry MakeEntry(const std::string& name, DWORD attributes) {
    DirectoryEntry entry;
    entry.name = name;
    entry.isFolder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    entry.isLink = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    return entry;
}

SysResult WriteAll(HANDLE file, std::string_view data) {
    while (!data.empty()) {
        DWORD chunk = data.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(data.size());
        DWORD written = 0;
        if (!::WriteFile(file, data.data(), chunk, &written, nullptr)) return LastWin32Failure("WriteFile");
        data.remove_prefix(written);
    }
    return SysResult::Ok();
}

// Flushes the file at path to the disk.
SysResult FlushFile(const std::string& path) {
    OwnedHandle file(::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file.valid()) return LastWin32Failure("CreateFileA");
    if (!::FlushFileBuffers(file.get())) return LastWin32Failure("FlushFileBuffers");
    return SysResult::Ok();
}

// A new temporary beside target, created exclusively and shared with nobody until it is closed.
SysResult CreateTemporary(const std::string& target, OwnedHandle& file, std::string& temporary) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        temporary = TemporaryNameFor(target);
        file.Reset(::CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file.valid()) return SysResult::Ok();
        if (::GetLastError() != ERROR_FILE_EXISTS) return LastWin32Failure("CreateFileA");
    }
    return SysResult::Failure("CreateFileA", EEXIST, ERROR_FILE_EXISTS);
}

} // namespace

namespace files {

std::string Join(std::string_view folder, std::string_view name) {
    std::string out;
    out.reserve(folder.size() + name.size() + 1);
    out.append(folder);
    if (!out.empty() && !IsPathSeparator(out.back())) out.push_back(kPathSeparator);
    out.append(name);
    return out;
}

DirectorySearch::DirectorySearch(const std::string& folder) {
    std::string pattern = Join(folder.empty() ? "." : folder, "*");
    handle_ = ::FindFirstFileExA(pattern.c_str(), FindExInfoBasic, &data_, FindExSearchNameMatch, nullptr, 0);
    error_ = handle_ == INVALID_HANDLE_VALUE ? ::GetLastError() : ERROR_SUCCESS;
}

DirectorySearch::~DirectorySearch() {
    if (handle_ != INVALID_HANDLE_VALUE) ::FindClose(handle_);
}

const WIN32_FIND_DATAA* DirectorySearch::Next() {
    if (!open()) return nullptr;
    if (first_) {
        first_ = false;
        return &data_;
    }
    if (::FindNextFileA(handle_, &data_)) return &data_;
    error_ = ::GetLastError();
    return nullptr;
}

std::optional<WIN32_FIND_DATAA> FindStoredEntry(const std::string& folder, std::string_view name) {
    if (name.empty() || HasWildcard(name)) return std::nullopt;
    WIN32_FIND_DATAA data{};
    std::string path = Join(folder.empty() ? "." : folder, name);
    HANDLE found = ::FindFirstFileExA(path.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
    if (found == INVALID_HANDLE_VALUE) return std::nullopt;
    ::FindClose(found);
    return data;
}

SysResult ReadStoredFile(const std::string& stored, std::string& out) {
    OwnedHandle file(::CreateFileA(stored.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return LastWin32Failure("CreateFileA");
    return ReadAllFrom(file.get(), out);
}

SysResult ReadAllFrom(HANDLE file, std::string& out) {
    LARGE_INTEGER size{};
    if (::GetFileSizeEx(file, &size) && size.QuadPart > 0) out.reserve(static_cast<std::size_t>(size.QuadPart));
    char buffer[65536];
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(file, buffer, sizeof buffer, &got, nullptr)) return LastWin32Failure("ReadFile");
        if (got == 0) return SysResult::Ok();
        out.append(buffer, got);
    }
}

} // namespace files

std::optional<std::string> ResolveExisting(std::string_view path) {
    if (path.empty()) return std::nullopt;
    std::string whole(path);
    if (!EntryExists(whole)) return std::nullopt;
    // The system already finds names without regard to case; only the stored capitals of
    // each component below the root are looked up.
    const std::size_t root = PathRootLength(path);
    std::string current(path.substr(0, root));
    std::string_view rest = path.substr(root);
    while (!rest.empty()) {
        std::size_t cut = 0;
        while (cut < rest.size() && !IsPathSeparator(rest[cut])) ++cut;
        std::string_view part = rest.substr(0, cut);
        rest = cut < rest.size() ? rest.substr(cut + 1) : std::string_view{};
        if (part.empty()) continue;
        std::optional<std::string> stored =
            IsDotEntry(part) ? std::optional<std::string>(std::string(part)) : files::StoredNameIn(current, part);
        if (!stored) return std::nullopt;
        current = Join(current, *stored);
    }
    return current;
}

std::optional<FoundEntry> FindEntry(std::string_view path) {
    auto stored = ResolveExisting(path);
    if (!stored) return std::nullopt;
    const DWORD attributes = AttributesOf(*stored);
    if (attributes == INVALID_FILE_ATTRIBUTES) return std::nullopt;
    FoundEntry found;
    found.path = std::move(*stored);
    found.isLink = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    found.isFolder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    found.readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    return found;
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
        if (auto stored = files::StoredNameIn(folder, name)) out.push_back(MakeEntry(*stored, AttributesOf(Join(folder, *stored))));
        return SysResult::Ok();
    }
    // The system's own wildcard rules differ from ours in corners (short names, "<" and ">"),
    // so the folder is listed whole and matched here.
    DirectorySearch search(folder);
    if (!search.open()) {
        DWORD error = search.error();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_DIRECTORY) {
            return SysResult::Ok();
        }
        return SysResult::Failure("FindFirstFileExA", ErrnoFromWin32(error), static_cast<long>(error));
    }
    while (const WIN32_FIND_DATAA* entry = search.Next()) {
        std::string_view entryName = entry->cFileName;
        if (IsDotEntry(entryName) || !MatchesWildcard(name, entryName)) continue;
        out.push_back(MakeEntry(entry->cFileName, entry->dwFileAttributes));
    }
    return SysResult::Ok();
}

std::string FullPathForm(std::string_view path) {
    std::string given(path.empty() ? "." : path);
    char buffer[MAX_PATH * 4];
    DWORD length = ::GetFullPathNameA(given.c_str(), sizeof buffer, buffer, nullptr);
    if (length == 0 || length >= sizeof buffer) return CollapsePath(path, "C:\\");
    // The system keeps a trailing separator, and leaves ".." above a share; CollapsePath
    // settles both the way the rest of the program expects.
    std::string full(buffer, length);
    return CollapsePath(full, full.substr(0, PathRootLength(full)));
}

SysResult IsReadOnly(std::string_view path, bool& readOnly) {
    auto resolved = ResolveExisting(path);
    if (!resolved) return SysResult::Failure("GetFileAttributesA", ENOENT, ERROR_FILE_NOT_FOUND);
    DWORD attributes = AttributesOf(*resolved);
    if (attributes == INVALID_FILE_ATTRIBUTES) return LastWin32Failure("GetFileAttributesA");
    readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    return SysResult::Ok();
}

static SysResult ChangeReadOnly(std::string_view path, bool readOnly) {
    auto resolved = ResolveExisting(path);
    if (!resolved) return SysResult::Failure("SetFileAttributesA", ENOENT, ERROR_FILE_NOT_FOUND);
    DWORD attributes = AttributesOf(*resolved);
    if (attributes == INVALID_FILE_ATTRIBUTES) return LastWin32Failure("GetFileAttributesA");
    attributes = readOnly ? (attributes | FILE_ATTRIBUTE_READONLY) : (attributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
    if (attributes == 0) attributes = FILE_ATTRIBUTE_NORMAL;
    if (!::SetFileAttributesA(resolved->c_str(), attributes)) return LastWin32Failure("SetFileAttributesA");
    return SysResult::Ok();
}

SysResult ClearReadOnly(std::string_view path) { return ChangeReadOnly(path, false); }

SysResult SetReadOnly(std::string_view path) { return ChangeReadOnly(path, true); }

SysResult CreateFolder(std::string_view path) {
    auto target = ResolveForCreate(path);
    if (!target) return SysResult::Failure("CreateDirectoryA", ENOENT, ERROR_PATH_NOT_FOUND);
    if (!::CreateDirectoryA(target->c_str(), nullptr)) return LastWin32Failure("CreateDirectoryA");
    return SysResult::Ok();
}

SysResult RemoveFolder(std::string_view path) {
    auto resolved = ResolveExisting(path);
    if (!resolved) return SysResult::Failure("RemoveDirectoryA", ENOENT, ERROR_FILE_NOT_FOUND);
    if (!::RemoveDirectoryA(resolved->c_str())) return LastWin32Failure("RemoveDirectoryA");
    return SysResult::Ok();
}

SysResult RemoveFile(std::string_view path) {
    auto resolved = ResolveExisting(path);
    if (!resolved) return SysResult::Failure("DeleteFileA", ENOENT, ERROR_FILE_NOT_FOUND);
    // A link to a folder is removed as a folder entry; what it points to is never touched.
    const DWORD attributes = AttributesOf(*resolved);
    const DWORD folderLink = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & folderLink) == folderLink) {
        if (!::RemoveDirectoryA(resolved->c_str())) return LastWin32Failure("RemoveDirectoryA");
        return SysResult::Ok();
    }
    if (!::DeleteFileA(resolved->c_str())) return LastWin32Failure("DeleteFileA");
    return SysResult::Ok();
}

SysResult CopyFileNoOverwrite(std::string_view from, std::string_view to) {
    auto source = ResolveExisting(from);
    if (!source) return SysResult::Failure("CopyFileA", ENOENT, ERROR_FILE_NOT_FOUND);
    auto target = ResolveForCreate(to);
    if (!target) return SysResult::Failure("CopyFileA", ENOENT, ERROR_PATH_NOT_FOUND);
    if (EntryExists(*target)) return SysResult::Failure("CopyFileA", EEXIST, ERROR_FILE_EXISTS);
    // A temporary that a killed writer of this file left goes, as with every other write.
    RemoveStaleTemporaries(*target);
    // The copy is written and flushed aside and moved into place whole, so a kill in mid-copy
    // never leaves a truncated file under the target's name.
    const std::string temporary = TemporaryNameFor(*target);
    if (!::CopyFileA(source->c_str(), temporary.c_str(), TRUE)) return LastWin32Failure("CopyFileA");
    // A read-only copy (of a read-only source) opens for its flush only without the attribute.
    const DWORD attributes = AttributesOf(temporary);
    (void)::SetFileAttributesA(temporary.c_str(), FILE_ATTRIBUTE_NORMAL);
    SysResult result = FlushFile(temporary);
    if (attributes != INVALID_FILE_ATTRIBUTES) (void)::SetFileAttributesA(temporary.c_str(), attributes);
    if (result) result = MoveNoReplace(temporary, *target);
    if (!result) {
        (void)::SetFileAttributesA(temporary.c_str(), FILE_ATTRIBUTE_NORMAL);
        (void)::DeleteFileA(temporary.c_str());
        return result;
    }
    // The new entry is durable only once the folder is on disk too; failing that only weakens
    // durability across a power loss.
    (void)SyncFolderOf(*target);
    return result;
}

SysResult ReadWholeFile(std::string_view path, std::string& out) {
    out.clear();
    auto resolved = ResolveExisting(path);
    if (!resolved) return SysResult::Failure("CreateFileA", ENOENT, ERROR_FILE_NOT_FOUND);
    return files::ReadStoredFile(*resolved, out);
}

SysResult StageReplacement(std::string_view path, std::string_view content, UnsyncedWrite& unsynced) {
    unsynced = UnsyncedWrite{};
    auto target = ResolveForCreate(path);
    if (!target) return SysResult::Failure("CreateFileA", ENOENT, ERROR_PATH_NOT_FOUND);
    // A temporary that a killed writer left is removed before this writer makes its own.
    RemoveStaleTemporaries(*target);
    std::string temporary;
    OwnedHandle file;
    if (SysResult created = CreateTemporary(*target, file, temporary); !created) return created;
    if (SysResult written = WriteAll(file.get(), content); !written) {
        file.Reset();
        (void)::DeleteFileA(temporary.c_str());
        return written;
    }
    // Until it is renamed, no other writer of the file may take it for a leftover.
    HoldTemporary(temporary);
    unsynced.file = reinterpret_cast<IoHandle>(file.Release());
    unsynced.temporary = std::move(temporary);
    unsynced.target = std::move(*target);
    unsynced.syncFolder = true;
    return SysResult::Ok();
}

} // namespace vserver::platform
