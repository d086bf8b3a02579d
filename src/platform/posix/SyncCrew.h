#pragma once
// A few threads that run the syncs of one batch side by side. A journalling file system commits
// the syncs that reach it together in one journal write, so thirty files synced at once take
// about as long as two synced one after another; one at a time, a morning's worth of
// preference writes would queue behind each other's disk round trips.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace vserver::platform {

class SyncCrew {
public:
    // Starts that many helper threads; they inherit the calling thread's signal mask.
    explicit SyncCrew(std::size_t helpers);
    // Waits for the helpers to end; no RunAll may be running.
    ~SyncCrew();
    SyncCrew(const SyncCrew&) = delete;
    SyncCrew& operator=(const SyncCrew&) = delete;

    // Runs task(0) ... task(count - 1), each exactly once, on the calling thread and the helpers
    // at the same time, and returns when every one has returned. Calls do not overlap: one
    // thread (the sync worker) owns the crew.
    void RunAll(std::size_t count, const std::function<void(std::size_t)>& task);

private:
    void Help();
    // Takes and runs tasks of the current round until none is left to take.
    void TakeTasks();

    std::mutex mutex_;
    std::condition_variable roundStarted_;
    std::condition_variable roundFinished_;
    const std::function<void(std::size_t)>* task_ = nullptr;   // guarded by mutex_, as are all below
    std::size_t count_ = 0;
    std::size_t next_ = 0;
    std::size_t finished_ = 0;
    std::uint64_t round_ = 0;
    bool ending_ = false;
    std::vector<std::thread> helpers_;
};

// Runs task over count items on crew, or one after another on this thread without one.
inline void RunEach(SyncCrew* crew, std::size_t count, const std::function<void(std::size_t)>& task) {
    if (crew != nullptr) {
        crew->RunAll(count, task);
        return;
    }
    for (std::size_t i = 0; i < count; ++i) task(i);
}

} // namespace vserver::platform
