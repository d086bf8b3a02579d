#include "WriteCompletion.h"

#include <cstdint>
#include <map>
#include <utility>

#include "BackendTraits.h"
#include "Win32Error.h"
#include "platform/StagedFolders.h"
#include "platform/TemporaryFile.h"
#include "platform/common/HeldTemporaries.h"
#include "platform/common/PathText.h"
#include "platform/common/SyncTrace.h"

namespace vserver::platform::writes {

namespace {

HANDLE AsHandle(IoHandle handle) { return reinterpret_cast<HANDLE>(handle); }

void CloseOwned(IoHandle& handle) {
    if (handle != kInvalidHandle) ::CloseHandle(AsHandle(std::exchange(handle, kInvalidHandle)));
}

using FileIdentity = std::pair<DWORD, std::uint64_t>;  // volume serial, file index

// Flushes the file a job wrote, once for every job that wrote to the same file (their data was
// all written before the batch began), and closes the job's handle: a temporary must be closed
// before it can be renamed, and a folder built aside before it can move.
void FlushFiles(const std::vector<Job*>& jobs) {
    std::map<FileIdentity, SysResult> flushed;
    for (Job* job : jobs) {
        if (job->write.file == kInvalidHandle) continue;
        HANDLE file = AsHandle(job->write.file);
        BY_HANDLE_FILE_INFORMATION info{};
        if (!::GetFileInformationByHandle(file, &info)) {
            job->result = LastWin32Failure("GetFileInformationByHandle");
        } else {
            const FileIdentity id{info.dwVolumeSerialNumber,
                                  (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
            auto [it, first] = flushed.try_emplace(id, SysResult::Ok());
            if (first && !::FlushFileBuffers(file)) it->second = LastWin32Failure("FlushFileBuffers");
            job->result = it->second;
        }
        CloseOwned(job->write.file);
    }
}

// Renames a flushed temporary over its target. A read-only target cannot be replaced; like a
// rename over a file without write permission on POSIX systems, the replacement keeps the
// attribute.
SysResult ReplaceTarget(const UnsyncedWrite& write) {
    const DWORD existing = ::GetFileAttributesA(write.target.c_str());
    const bool readOnly = existing != INVALID_FILE_ATTRIBUTES && (existing & FILE_ATTRIBUTE_READONLY) != 0;
    if (readOnly) ::SetFileAttributesA(write.target.c_str(), existing & ~DWORD{FILE_ATTRIBUTE_READONLY});
    SysResult result = SysResult::Ok();
    if (!::MoveFileExA(write.temporary.c_str(), write.target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        result = LastWin32Failure("MoveFileExA");
    }
    if (readOnly) ::SetFileAttributesA(write.target.c_str(), existing);
    return result;
}

// Gives a written temporary its final name. A folder built aside gets its own entries onto the
// disk first and takes the name only while nothing else has it.
SysResult MoveIntoPlace(const UnsyncedWrite& write) {
    if (!write.wholeFolder) return ReplaceTarget(write);
    if (SysResult synced = SyncFolder(write.temporary); !synced) return synced;
    return MoveNoReplace(write.temporary, write.target);
}

void RemoveTemporary(const UnsyncedWrite& write) {
    if (write.wholeFolder) {
        RemoveStagedFolder(write.temporary);
    } else {
        (void)::DeleteFileA(write.temporary.c_str());
    }
}

void MoveTemporaries(const std::vector<Job*>& jobs, int attempts) {
    for (Job* job : jobs) {
        UnsyncedWrite& write = job->write;
        if (write.temporary.empty()) continue;
        if (job->result) job->result = MoveIntoPlace(write);
        if (MetHold(job->result) && !write.wholeFolder && ++job->replaceAttempts < attempts) {
            job->busy = true;
            continue;
        }
        if (!job->result) RemoveTemporary(write);
        ReleaseTemporary(write.temporary);
    }
}

// Syncs each folder that received an entry once, after every rename into it.
void SyncFolders(const std::vector<Job*>& jobs) {
    std::map<std::string, SysResult, std::less<>> folders;
    for (Job* job : jobs) {
        if (job->busy || !job->result || !job->write.syncFolder) continue;
        const std::string_view folder = FolderPartOf(job->write.target);
        auto it = folders.find(folder);
        if (it == folders.end()) it = folders.emplace(std::string(folder), SyncFolderOf(job->write.target)).first;
        job->result = it->second;
    }
}

} // namespace

bool MetHold(const SysResult& result) {
    const auto code = static_cast<DWORD>(result.nativeError());
    return !result && (code == ERROR_SHARING_VIOLATION || code == ERROR_ACCESS_DENIED || code == ERROR_LOCK_VIOLATION);
}

void CompleteBatch(const std::vector<Job*>& jobs, int attempts) {
    // A write that waited for a holder was flushed already; only its rename is left.
    for (Job* job : jobs) {
        if (job->busy) job->result = SysResult::Ok();
        job->busy = false;
    }
    FlushFiles(jobs);
    MoveTemporaries(jobs, attempts);
    SyncFolders(jobs);
    // A finished write is in place: other writers of the file may go on.
    for (Job* job : jobs) {
        if (!job->busy) CloseOwned(job->write.lock);
    }
}

std::string TraceLines(const std::vector<Job*>& jobs) {
    std::string lines;
    for (const Job* job : jobs) {
        if (job->busy) {
            lines.append("busy ").append(job->write.target).push_back('\n');
        } else {
            SyncTrace::Describe(job->write, job->result, lines);
        }
    }
    return lines;
}

} // namespace vserver::platform::writes
