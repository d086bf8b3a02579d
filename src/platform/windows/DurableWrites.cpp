#include "platform/DurableWrites.h"

#include <windows.h>

#include <utility>

#include "platform/FileSystem.h"
#include "platform/StagedFolders.h"
#include "platform/TemporaryFile.h"
#include "Win32Error.h"

// This backend makes every write durable before the call returns (the replacement flushes its
// temporary and renames with write-through; an append is flushed at once), so an unsynced
// write owes nothing here but the move of a folder built aside, and the worker does that at
// once and hands completions to the loop.

namespace vserver::platform {

UnsyncedWrite::~UnsyncedWrite() {
    if (lock != kInvalidHandle) ::CloseHandle(reinterpret_cast<HANDLE>(lock));
}

SysResult AppendNulTerminatedUnsynced(const std::string& path, std::string_view text, AppendOpen how,
                                      LockWait wait, UnsyncedWrite& unsynced) {
    unsynced = UnsyncedWrite{};
    if (SysResult appended = AppendNulTerminated(path, text, how, wait); !appended) return appended;
    OwnedHandle file(::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return LastWin32Failure("CreateFileA");
    if (!::FlushFileBuffers(file.get())) return LastWin32Failure("FlushFileBuffers");
    return SysResult::Ok();
}

SysResult StageReplacement(std::string_view path, std::string_view content, UnsyncedWrite& unsynced) {
    unsynced = UnsyncedWrite{};
    return ReplaceFileContent(path, content);
}

namespace {

// Flushes a folder built aside and moves it into place; on failure it goes.
SysResult MoveStagedFolder(const UnsyncedWrite& write) {
    SysResult moved = SyncFolder(write.temporary);
    if (moved) moved = MoveNoReplace(write.temporary, write.target);
    if (!moved) RemoveStagedFolder(write.temporary);
    return moved;
}

} // namespace

SysResult CompleteWrite(UnsyncedWrite& write) {
    UnsyncedWrite owed = std::move(write);
    write = UnsyncedWrite{};
    // Files are flushed already; what may be left is a folder built aside and the folder sync
    // that a move owes.
    if (owed.wholeFolder) {
        if (SysResult moved = MoveStagedFolder(owed); !moved) return moved;
    }
    return owed.syncFolder ? SyncFolderOf(owed.target) : SysResult::Ok();
}

struct SyncWorker::Backend {};

SyncWorker::SyncWorker(EventLoop& loop) : loop_(loop), backend_(std::make_unique<Backend>()) {}

SyncWorker::~SyncWorker() = default;

void SyncWorker::StartSync(UnsyncedWrite write, std::function<void(SysResult)> done) {
    SysResult result = CompleteWrite(write);
    loop_.Defer([done = std::move(done), result] { done(result); });
}

} // namespace vserver::platform
