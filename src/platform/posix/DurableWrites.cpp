#include "platform/DurableWrites.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/StagedFolders.h"
#include "platform/TemporaryFile.h"
#include "platform/common/PathText.h"
#include "platform/posix/DiskNames.h"
#include "platform/posix/HeldTemporaries.h"

namespace vserver::platform {

UnsyncedWrite::~UnsyncedWrite() {
    if (file != kInvalidHandle) ::close(static_cast<int>(file));
    if (lock != kInvalidHandle) ::close(static_cast<int>(lock));
    if (folder != kInvalidHandle) ::close(static_cast<int>(folder));
}

namespace {

SysResult Fail(const char* call) { return SysResult::Failure(call, errno); }

struct Job {
    UnsyncedWrite write;
    std::function<void(SysResult)> done;
    SysResult result = SysResult::Ok();
};

// Tests observe the order of syncs and replies through this file: one line per finished
// write ("synced <target>"), followed by "synced folder <folder>" when the write's folder was
// synced too, appended before its completion is handed to the loop.
class SyncTrace {
public:
    SyncTrace() {
        const char* path = std::getenv("VSERVER_SYNC_TRACE");
        if (path != nullptr && *path != '\0') path_ = path;
    }
    void Record(const std::vector<Job*>& jobs) const {
        if (path_.empty()) return;
        std::string lines;
        for (const Job* job : jobs) {
            lines.append(job->result ? "synced " : "failed ").append(job->write.target).push_back('\n');
            if (job->result && job->write.syncFolder) {
                lines.append("synced folder ").append(FolderPartOf(job->write.target)).push_back('\n');
            }
        }
        int fd = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) return;
        (void)!::write(fd, lines.data(), lines.size());
        ::close(fd);
    }

private:
    std::string path_;
};

// Renames the write's temporary over its target, through the folder that holds both when the
// write has it open.
bool RenameIntoPlace(const UnsyncedWrite& write) {
    if (write.folder == kInvalidHandle) {
        return ::rename(names::StoredPath(write.temporary).c_str(), names::StoredPath(write.target).c_str()) == 0;
    }
    const int folder = static_cast<int>(write.folder);
    const std::string from = names::StoredNameIn(folder, LastComponentOf(write.temporary));
    const std::string to = names::StoredNameIn(folder, LastComponentOf(write.target));
    return ::renameat(folder, from.c_str(), folder, to.c_str()) == 0;
}

// Gives a written temporary its final name. A folder built aside gets its own entries onto the
// disk first, so that it never stands under its final name without them, and it takes the name
// only while nothing else has it.
SysResult MoveIntoPlace(const UnsyncedWrite& write) {
    if (!write.wholeFolder) return RenameIntoPlace(write) ? SysResult::Ok() : Fail("rename");
    if (SysResult synced = SyncFolder(write.temporary); !synced) return synced;
    return MoveNoReplace(write.temporary, write.target);
}

void RemoveTemporary(const UnsyncedWrite& write) {
    if (write.wholeFolder) {
        RemoveStagedFolder(write.temporary);
    } else if (write.folder == kInvalidHandle) {
        (void)::unlink(names::StoredPath(write.temporary).c_str());
    } else {
        const int folder = static_cast<int>(write.folder);
        (void)::unlinkat(folder, names::StoredNameIn(folder, LastComponentOf(write.temporary)).c_str(), 0);
    }
}

// Syncs an open folder once for all the writes in it, known by its identity.
SysResult SyncOpenFolder(int folder, std::map<std::pair<dev_t, ino_t>, SysResult>& synced) {
    struct stat st {};
    if (::fstat(folder, &st) != 0) return Fail("fstat");
    auto [it, first] = synced.try_emplace({st.st_dev, st.st_ino}, SysResult::Ok());
    if (first && ::fsync(folder) != 0) it->second = Fail("fsync");
    return it->second;
}

// Does what the jobs owe, sharing the work: a file is synced once for every job that wrote to
// it, and a folder once after every rename into it. Every job's data was written before the
// batch began, so one sync covers them all.
void CompleteBatch(const std::vector<Job*>& jobs) {
    std::map<std::pair<dev_t, ino_t>, SysResult> files;
    for (Job* job : jobs) {
        if (job->write.file == kInvalidHandle) continue;
        const int fd = static_cast<int>(job->write.file);
        struct stat st {};
        if (::fstat(fd, &st) != 0) {
            job->result = Fail("fstat");
            continue;
        }
        auto [it, first] = files.try_emplace({st.st_dev, st.st_ino}, SysResult::Ok());
        if (first && ::fdatasync(fd) != 0) it->second = Fail("fdatasync");
        job->result = it->second;
    }
    for (Job* job : jobs) {
        UnsyncedWrite& write = job->write;
        if (write.temporary.empty()) continue;
        if (job->result) job->result = MoveIntoPlace(write);
        if (!job->result) RemoveTemporary(write);
        ReleaseTemporary(write.temporary);
    }
    std::map<std::string, SysResult, std::less<>> folders;
    std::map<std::pair<dev_t, ino_t>, SysResult> openFolders;
    for (Job* job : jobs) {
        if (!job->result || !job->write.syncFolder) continue;
        if (job->write.folder != kInvalidHandle) {
            job->result = SyncOpenFolder(static_cast<int>(job->write.folder), openFolders);
            continue;
        }
        const std::string_view folder = FolderPartOf(job->write.target);
        auto it = folders.find(folder);
        if (it == folders.end()) it = folders.emplace(std::string(folder), SyncFolderOf(job->write.target)).first;
        job->result = it->second;
    }
    for (Job* job : jobs) {
        if (job->write.file != kInvalidHandle) ::close(static_cast<int>(std::exchange(job->write.file, kInvalidHandle)));
        // The write is in place: other writers of the file may go on.
        if (job->write.lock != kInvalidHandle) ::close(static_cast<int>(std::exchange(job->write.lock, kInvalidHandle)));
    }
}

} // namespace

SysResult CompleteWrite(UnsyncedWrite& write) {
    Job job{std::move(write), {}};
    CompleteBatch({&job});
    return job.result;
}

// One thread takes whatever has been handed over since its last round and completes it as one
// batch; the results go back to the loop through an event counter the loop watches.
struct SyncWorker::Backend final : IoHandler {
    EventLoop& loop;
    int wakeFd = -1;
    std::mutex mutex;
    std::condition_variable work;
    std::vector<std::unique_ptr<Job>> submitted;   // guarded by mutex
    std::vector<std::unique_ptr<Job>> finished;    // guarded by mutex
    std::vector<std::unique_ptr<Job>> running;     // loop thread only
    bool ending = false;                           // guarded by mutex
    SyncTrace trace;
    std::thread thread;

    explicit Backend(EventLoop& eventLoop) : loop(eventLoop) {
        wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (wakeFd < 0) return;
        if (!loop.Watch(static_cast<IoHandle>(wakeFd), this, true, false)) {
            ::close(wakeFd);
            wakeFd = -1;
            return;
        }
        // The thread starts with every signal blocked, so the stop signals always reach the
        // loop's thread (whatever the order in which the two were set up) and never end the
        // process through this one.
        sigset_t all;
        sigset_t previous;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous);
        thread = std::thread([this] { Serve(); });
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }

    ~Backend() {
        {
            std::lock_guard lock(mutex);
            ending = true;
        }
        work.notify_one();
        if (thread.joinable()) thread.join();
        if (wakeFd >= 0) {
            loop.Unwatch(static_cast<IoHandle>(wakeFd));
            ::close(wakeFd);
        }
    }

    bool threaded() const { return thread.joinable(); }

    void Serve() {
        // A sync's caller already waits for the disk; the loop serves everyone else. So when a
        // sync ends, this thread waits for the processor's next turn instead of taking it from
        // the loop at once, which on a busy machine otherwise shows up in every client's latency.
        // On an idle processor it runs at once either way.
        const sched_param batchPolicy{};
        (void)pthread_setschedparam(pthread_self(), SCHED_BATCH, &batchPolicy);
        std::vector<std::unique_ptr<Job>> batch;
        std::vector<Job*> jobs;
        for (;;) {
            {
                std::unique_lock lock(mutex);
                work.wait(lock, [this] { return ending || !submitted.empty(); });
                // What was handed over before the end is still made durable.
                if (submitted.empty()) return;
                batch.swap(submitted);
            }
            jobs.clear();
            for (auto& job : batch) jobs.push_back(job.get());
            CompleteBatch(jobs);
            trace.Record(jobs);
            {
                std::lock_guard lock(mutex);
                for (auto& job : batch) finished.push_back(std::move(job));
            }
            batch.clear();
            const std::uint64_t one = 1;
            (void)!::write(wakeFd, &one, sizeof one);
        }
    }

    void OnReadable() override {
        // One read takes the whole count and resets it.
        std::uint64_t count = 0;
        (void)!::read(wakeFd, &count, sizeof count);
        {
            std::lock_guard lock(mutex);
            running.swap(finished);
        }
        for (auto& job : running) job->done(job->result);
        running.clear();
    }
    void OnWritable() override {}
};

SyncWorker::SyncWorker(EventLoop& loop) : loop_(loop), backend_(std::make_unique<Backend>(loop)) {}

SyncWorker::~SyncWorker() = default;

void SyncWorker::StartSync(UnsyncedWrite write, std::function<void(SysResult)> done) {
    auto job = std::make_unique<Job>(Job{std::move(write), std::move(done)});
    if (!backend_->threaded()) {
        // Without a thread the write is made durable now; its completion still runs from the
        // loop, as it would after a background sync.
        CompleteBatch({job.get()});
        backend_->trace.Record({job.get()});
        loop_.Defer([job = std::shared_ptr<Job>(std::move(job))] { job->done(job->result); });
        return;
    }
    {
        std::lock_guard lock(backend_->mutex);
        backend_->submitted.push_back(std::move(job));
    }
    backend_->work.notify_one();
}

} // namespace vserver::platform
