#include "platform/DurableWrites.h"

#include <windows.h>

#include <utility>

#include "platform/FileSystem.h"
#include "Win32Error.h"

// This backend makes every write durable before the call returns (the replacement flushes its
// temporary and renames with write-through; an append is flushed at once), so an unsynced
// write never owes anything here and the worker only hands completions to the loop.

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

SysResult CompleteWrite(UnsyncedWrite& write) {
    write = UnsyncedWrite{};
    return SysResult::Ok();
}

struct SyncWorker::Backend {};

SyncWorker::SyncWorker(EventLoop& loop) : loop_(loop), backend_(std::make_unique<Backend>()) {}

SyncWorker::~SyncWorker() = default;

void SyncWorker::StartSync(UnsyncedWrite write, std::function<void(SysResult)> done) {
    SysResult result = CompleteWrite(write);
    loop_.Defer([done = std::move(done), result] { done(result); });
}

} // namespace vserver::platform
