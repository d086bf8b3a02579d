#pragma once
// Writes that are acknowledged only once they are on disk, and the worker that gets them
// there without stopping the loop. The loop thread writes the bytes, which is cheap (they land
// in the system's cache), and hands the slow part, the sync, to SyncWorker; the reply that
// acknowledges the write goes out from the loop when the sync is done, so one client's durable
// write never keeps the other clients waiting.
//
// SyncWorker syncs on a background thread where the backend has one, and does the same work
// at once on the calling thread where it has not; either way the completion runs on the loop.

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/EventLoop.h"
#include "platform/RecordAppend.h"
#include "platform/SysResult.h"
#include "platform/SystemTraits.h"

namespace vserver::platform {

// Data written but not yet synced. It owns the open file whose data must reach the disk, and,
// for a replacement, the temporary that is renamed over the target once its data is safe.
// An empty one owes nothing.
struct UnsyncedWrite {
    UnsyncedWrite() = default;
    UnsyncedWrite(UnsyncedWrite&& other) noexcept;
    UnsyncedWrite& operator=(UnsyncedWrite&& other) noexcept;
    ~UnsyncedWrite();

    bool empty() const { return file == kInvalidHandle && !syncFolder && lock == kInvalidHandle; }

    IoHandle file = kInvalidHandle;   // synced first (its data and size)
    std::string temporary;            // when set: renamed over target after the file's sync
    std::string target;               // the file the write is for, as stored
    bool syncFolder = false;          // target's folder is synced last: an entry in it was
                                      // created or renamed
    bool wholeFolder = false;         // temporary is a folder built aside: its entries are
                                      // synced before it moves, and it never replaces an
                                      // existing target (the write then fails with EEXIST)
    IoHandle lock = kInvalidHandle;   // a file lock that keeps other writers of target out
                                      // until the write is complete, released then
    IoHandle folder = kInvalidHandle; // when open: the folder that holds temporary and target,
                                      // through which they are renamed and which is synced,
                                      // whatever its path names by then
};

// Appends as AppendNulTerminated does and leaves the sync to unsynced (a file created by the
// append also owes its folder's sync).
SysResult AppendNulTerminatedUnsynced(const std::string& path, std::string_view text, AppendOpen how,
                                      LockWait wait, UnsyncedWrite& unsynced);

// Writes content to a temporary file beside path (the file as ReplaceFileContent finds or
// creates it, with its permission bits) and leaves the sync, the rename over path and the
// folder's sync to unsynced. Readers see the old content until then, and a crash at any point
// leaves the old file or the new one, never a mix.
SysResult StageReplacement(std::string_view path, std::string_view content, UnsyncedWrite& unsynced);

// Does what an unsynced write owes, at once, on the calling thread.
SysResult CompleteWrite(UnsyncedWrite& write);

class SyncWorker {
public:
    explicit SyncWorker(EventLoop& loop);
    // Finishes every write already handed over (they are durable when the process ends), but
    // runs no more completions.
    ~SyncWorker();
    SyncWorker(const SyncWorker&) = delete;
    SyncWorker& operator=(const SyncWorker&) = delete;

    // Makes write durable and then runs done on the loop with the outcome; completions run in
    // the order of their Submit calls. Writes waiting together share their syncs: one sync of
    // a file covers every append made to it before, one sync of a folder every rename in it.
    // orderKey (may be empty) names the file for AfterWritesTo. Where another program may hold
    // a file so that it cannot be replaced for a while (Windows), a replacement of it waits
    // for the holder on the loop's timer, for a bounded time, and completes after the writes
    // submitted behind it; writes under its orderKey still wait for it.
    void Submit(UnsyncedWrite write, std::function<void(SysResult)> done, std::string orderKey = {});

    // Runs fn on the loop thread once no write submitted under orderKey is in flight any more:
    // at once when none is, else after the last one's completion. A waiting fn that submits
    // under the same key again keeps the ones behind it waiting, so writers of one file take
    // turns in the order they asked.
    void AfterWritesTo(const std::string& orderKey, std::function<void()> fn);

    // Writes handed over whose completion has not run yet.
    std::size_t inFlight() const { return inFlight_; }

private:
    struct Backend;

    // Hands write to the backend, which runs done on the loop when it is durable.
    void StartSync(UnsyncedWrite write, std::function<void(SysResult)> done);
    void Settle(const std::string& orderKey);

    struct KeyState {
        int inFlight = 0;
        std::deque<std::function<void()>> waiting;
    };

    EventLoop& loop_;
    std::unique_ptr<Backend> backend_;
    std::unordered_map<std::string, KeyState> keys_;
    std::size_t inFlight_ = 0;
};

} // namespace vserver::platform
