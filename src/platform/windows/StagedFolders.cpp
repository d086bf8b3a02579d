#include "platform/StagedFolders.h"

#include <windows.h>

#include "BackendTraits.h"
#include "Win32Error.h"
#include "platform/FileSystem.h"

// The copy's data is left to the sync thread, which flushes it and closes it before the folder
// that holds it moves into place.

namespace vserver::platform {

namespace {

std::string Join(const std::string& folder, std::string_view name) {
    std::string out = folder;
    if (!out.empty() && !IsPathSeparator(out.back())) out.push_back(kPathSeparator);
    out.append(name);
    return out;
}

// The attributes a copy takes over from its source, as the system's own copy does.
DWORD CopiedAttributes(const std::string& source) {
    const DWORD kept = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
    const DWORD attributes = ::GetFileAttributesA(source.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & kept) == 0) return FILE_ATTRIBUTE_NORMAL;
    return attributes & kept;
}

// Writes content into the new file to and hands its open handle to unsynced for the flush. A
// read-only copy is created read-only, and the handle that created it may still write and
// flush it.
SysResult WriteUnflushed(const std::string& to, std::string_view content, DWORD attributes, UnsyncedWrite& unsynced) {
    OwnedHandle file(::CreateFileA(to.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, attributes, nullptr));
    if (!file.valid()) return LastWin32Failure("CreateFileA");
    while (!content.empty()) {
        const DWORD chunk = content.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(content.size());
        DWORD written = 0;
        if (!::WriteFile(file.get(), content.data(), chunk, &written, nullptr)) return LastWin32Failure("WriteFile");
        content.remove_prefix(written);
    }
    unsynced.file = reinterpret_cast<IoHandle>(file.Release());
    return SysResult::Ok();
}

// A copy may be read-only, which would keep it from being deleted.
void RemoveCopy(const std::string& path) {
    (void)::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    (void)::DeleteFileA(path.c_str());
}

} // namespace

SysResult CopyIntoStagedFolder(const PlaceBeneath& from, const std::string& to, UnsyncedWrite& unsynced) {
    unsynced = UnsyncedWrite{};
    std::string content;
    if (SysResult read = ReadWholeFile(from, content); !read) return read;
    SysResult written = WriteUnflushed(to, content, CopiedAttributes(from.path), unsynced);
    if (!written && written.error() != EEXIST) RemoveCopy(to);
    return written;
}

SysResult MoveNoReplace(const std::string& from, const std::string& to) {
    // Without MOVEFILE_REPLACE_EXISTING the move fails when anything has the name already.
    if (!::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH)) return LastWin32Failure("MoveFileExA");
    return SysResult::Ok();
}

void RemoveStagedFolder(const std::string& folder) {
    WIN32_FIND_DATAA data{};
    HANDLE search = ::FindFirstFileExA(Join(folder, "*").c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
                                       nullptr, 0);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::string_view name = data.cFileName;
            if (name != "." && name != "..") RemoveCopy(Join(folder, name));
        } while (::FindNextFileA(search, &data));
        ::FindClose(search);
    }
    (void)::RemoveDirectoryA(folder.c_str());
}

} // namespace vserver::platform
