#pragma once
// Jobs handed from the loop's thread to one worker thread and back in batches: the loop hands
// them over one at a time; the worker takes all that wait at once, works them as one batch and
// hands the batch back, then wakes the loop, which takes back everything finished so far.

#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

namespace vserver::platform {

template <typename Job>
class JobHandOver {
public:
    using Jobs = std::vector<std::unique_ptr<Job>>;

    void Hand(std::unique_ptr<Job> job) {
        {
            std::lock_guard lock(mutex_);
            submitted_.push_back(std::move(job));
        }
        work_.notify_one();
    }

    // Ends Serve once everything handed over before has been worked.
    void End() {
        {
            std::lock_guard lock(mutex_);
            ending_ = true;
        }
        work_.notify_one();
    }

    // The worker thread's loop: completeBatch(jobs) for each batch, then wake() once the batch
    // is back for the loop to take.
    template <typename CompleteBatch, typename Wake>
    void Serve(CompleteBatch completeBatch, Wake wake) {
        Jobs batch;
        std::vector<Job*> jobs;
        for (;;) {
            {
                std::unique_lock lock(mutex_);
                work_.wait(lock, [this] { return ending_ || !submitted_.empty(); });
                // What was handed over before the end is still made durable.
                if (submitted_.empty()) return;
                batch.swap(submitted_);
            }
            jobs.clear();
            for (auto& job : batch) jobs.push_back(job.get());
            completeBatch(jobs);
            {
                std::lock_guard lock(mutex_);
                for (auto& job : batch) finished_.push_back(std::move(job));
            }
            batch.clear();
            wake();
        }
    }

    // Everything finished since the last call (taken on the loop's thread).
    Jobs TakeFinished() {
        Jobs taken;
        std::lock_guard lock(mutex_);
        taken.swap(finished_);
        return taken;
    }

private:
    std::mutex mutex_;
    std::condition_variable work_;
    Jobs submitted_;   // guarded by mutex_
    Jobs finished_;    // guarded by mutex_
    bool ending_ = false;  // guarded by mutex_
};

} // namespace vserver::platform
