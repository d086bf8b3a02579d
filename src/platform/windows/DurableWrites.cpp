#include "platform/DurableWrites.h"

#include <windows.h>

#include <utility>

#include "HeldAppend.h"
#include "Win32Error.h"
#include "WriteCompletion.h"

// The loop thread writes the data; flushing it, renaming a temporary over its target and
// syncing the folder are left to the sync thread (SyncThread.cpp).

namespace vserver::platform {

using writes::Job;

UnsyncedWrite::~UnsyncedWrite() {
    for (IoHandle handle : {file, lock, folder}) {
        if (handle != kInvalidHandle) ::CloseHandle(reinterpret_cast<HANDLE>(handle));
    }
}

SysResult AppendNulTerminatedUnsynced(const std::string& path, std::string_view text, AppendOpen how,
                                      LockWait wait, UnsyncedWrite& unsynced) {
    unsynced = UnsyncedWrite{};
    // A file that the append creates owes its folder's sync too.
    const bool existed = ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    OwnedHandle file;
    if (SysResult appended = AppendHoldingFile(path, text, how, wait, file); !appended) return appended;
    unsynced.file = reinterpret_cast<IoHandle>(file.Release());
    unsynced.target = path;
    unsynced.syncFolder = !existed;
    return SysResult::Ok();
}

namespace {

// Done at once on the calling thread, the wait for a holder of the target is kept short:
// about a quarter second, like the wait for a record file's lock.
constexpr int kHeldReplaceAttemptsAtOnce = 250;

} // namespace

void writes::CompleteAtOnce(Job& job) {
    for (;;) {
        CompleteBatch({&job}, kHeldReplaceAttemptsAtOnce);
        if (!job.busy) return;
        ::Sleep(1);
    }
}

SysResult CompleteWrite(UnsyncedWrite& write) {
    Job job{std::move(write), {}};
    write = UnsyncedWrite{};
    writes::CompleteAtOnce(job);
    return job.result;
}

} // namespace vserver::platform
