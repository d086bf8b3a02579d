#include "platform/posix/SyncCrew.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>

namespace vserver::platform {

SyncCrew::SyncCrew(std::size_t helpers) {
    helpers_.reserve(helpers);
    for (std::size_t i = 0; i < helpers; ++i) helpers_.emplace_back([this] { Help(); });
}

SyncCrew::~SyncCrew() {
    {
        std::lock_guard lock(mutex_);
        ending_ = true;
    }
    roundStarted_.notify_all();
    for (std::thread& helper : helpers_) helper.join();
}

void SyncCrew::RunAll(std::size_t count, const std::function<void(std::size_t)>& task) {
    if (count <= 1 || helpers_.empty()) {
        for (std::size_t i = 0; i < count; ++i) task(i);
        return;
    }
    {
        std::lock_guard lock(mutex_);
        task_ = &task;
        count_ = count;
        next_ = 0;
        finished_ = 0;
        ++round_;
    }
    // Only as many helpers as there are tasks besides the one this thread takes: waking all of
    // them for a round of two syncs costs more processor time than the round saves.
    const std::size_t wake = std::min(count - 1, helpers_.size());
    for (std::size_t i = 0; i < wake; ++i) roundStarted_.notify_one();
    TakeTasks();
    std::unique_lock lock(mutex_);
    roundFinished_.wait(lock, [this] { return finished_ == count_; });
    task_ = nullptr;
}

void SyncCrew::TakeTasks() {
    for (;;) {
        const std::function<void(std::size_t)>* task = nullptr;
        std::size_t index = 0;
        {
            std::lock_guard lock(mutex_);
            if (task_ == nullptr || next_ >= count_) return;
            task = task_;
            index = next_++;
        }
        (*task)(index);
        std::lock_guard lock(mutex_);
        if (++finished_ == count_) roundFinished_.notify_one();
    }
}

void SyncCrew::Help() {
    // Like the sync worker, a helper that wakes from the disk waits for the processor's next turn
    // rather than taking it from the loop thread.
    const sched_param batchPolicy{};
    (void)pthread_setschedparam(pthread_self(), SCHED_BATCH, &batchPolicy);
    std::uint64_t seen = 0;
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            roundStarted_.wait(lock, [&] { return ending_ || round_ != seen; });
            if (ending_) return;
            seen = round_;
        }
        TakeTasks();
    }
}

} // namespace vserver::platform
