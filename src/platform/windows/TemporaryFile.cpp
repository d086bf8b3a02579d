#include "platform/TemporaryFile.h"

#include <windows.h>

#include <atomic>
#include <string_view>

#include "BackendTraits.h"
#include "Win32Error.h"
#include "platform/common/HeldTemporaries.h"
#include "platform/common/PathText.h"
#include "platform/common/TemporaryName.h"

namespace vserver::platform {

namespace {

std::string FolderOf(const std::string& path) {
    std::string folder(FolderPartOf(path));
    return folder.empty() ? "." : folder;
}

std::string Join(const std::string& folder, std::string_view name) {
    std::string out = folder;
    if (!out.empty() && !IsPathSeparator(out.back())) out.push_back(kPathSeparator);
    out.append(name);
    return out;
}

// The writer of a temporary, 0 when the name is not one the server made.
DWORD WriterOf(std::string_view rest) {
    const unsigned long long pid = TemporaryWriterOf(rest);
    return pid <= MAXDWORD ? static_cast<DWORD>(pid) : 0;
}

bool WriterGone(DWORD pid) {
    // This process keeps no temporary between calls except the held ones (which its caller
    // skips), so one with its own id is left from an earlier process that had the same id.
    if (pid == ::GetCurrentProcessId()) return true;
    HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (process == nullptr) return ::GetLastError() == ERROR_INVALID_PARAMETER;  // no such process
    // A process that has ended but whose handle someone still holds keeps its id reserved.
    const bool ended = ::WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
    ::CloseHandle(process);
    return ended;
}

} // namespace

std::string TemporaryNameFor(const std::string& target) { return TemporaryNameFor(target, "tmp"); }

std::string TemporaryNameFor(const std::string& target, std::string_view kind) {
    static std::atomic<unsigned> counter{0};
    std::string name = TemporaryPrefix(target, kind);
    name += std::to_string(::GetCurrentProcessId());
    name += '-';
    name += std::to_string(counter++);
    std::string folder(FolderPartOf(target));
    return folder.empty() ? name : Join(folder, name);
}

void RemoveStaleTemporaries(const std::string& target) {
    const std::string folder = FolderOf(target);
    const std::string prefix = TemporaryPrefix(target);
    const std::string pattern = Join(folder, prefix) + "*";
    WIN32_FIND_DATAA data{};
    HANDLE search = ::FindFirstFileExA(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        std::string_view name = data.cFileName;
        // The pattern matches without regard to case; the prefix must match as written.
        if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix) continue;
        const DWORD writer = WriterOf(name.substr(prefix.size()));
        if (writer == 0 || !WriterGone(writer)) continue;
        const std::string path = Join(folder, name);
        if (writer == ::GetCurrentProcessId() && (IsHeldTemporary(path) || IsHeldTemporary(std::string(name)))) continue;
        (void)::DeleteFileA(path.c_str());
    } while (::FindNextFileA(search, &data));
    ::FindClose(search);
}

bool TemporaryWriterGone(std::string_view rest) {
    const DWORD writer = WriterOf(rest);
    return writer != 0 && WriterGone(writer);
}

SysResult SyncFolderOf(const std::string& path) { return SyncFolder(FolderOf(path)); }

SysResult SyncFolder(const std::string& folder) {
    // A folder opens as a handle only with backup semantics; flushing it asks the file system
    // to write its entries. File systems that refuse (FAT, some network shares) give the same
    // durability as without the call, so their refusal is no failure.
    OwnedHandle handle(::CreateFileA(folder.c_str(), GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!handle.valid()) return LastWin32Failure("CreateFileA");
    if (!::FlushFileBuffers(handle.get())) {
        const DWORD code = ::GetLastError();
        if (code != ERROR_ACCESS_DENIED && code != ERROR_INVALID_FUNCTION && code != ERROR_INVALID_PARAMETER) {
            return SysResult::Failure("FlushFileBuffers", ErrnoFromWin32(code), static_cast<long>(code));
        }
    }
    return SysResult::Ok();
}

} // namespace vserver::platform
