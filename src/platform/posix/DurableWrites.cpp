#include "platform/DurableWrites.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <thread>
#include <utility>
#include <vector>

#include "platform/StagedFolders.h"
#include "platform/TemporaryFile.h"
#include "platform/common/PathText.h"
#include "platform/common/JobHandOver.h"
#include "platform/common/SyncTrace.h"
#include "platform/posix/DiskNames.h"
#include "platform/posix/HeldTemporaries.h"
#include "platform/posix/SyncCrew.h"

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

// The trace lines of a finished batch.
void Record(const SyncTrace& trace, const std::vector<Job*>& jobs) {
    if (!trace.on()) return;
    std::string lines;
    for (const Job* job : jobs) SyncTrace::Describe(job->write, job->result, lines);
    trace.Append(lines);
}

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

// The distinct syncs a batch owes, each named once however many of its jobs owe it, and run
// side by side on the crew.
class SyncList {
public:
    explicit SyncList(std::size_t jobs) : slots_(jobs, kNone) {}
    // Adds the sync of job j's open file or folder, known by its identity; a failure to tell
    // what it is becomes the job's result.
    void AddOpen(std::size_t j, Job& job, int fd) {
        struct stat st {};
        if (::fstat(fd, &st) != 0) {
            job.result = Fail("fstat");
            return;
        }
        auto [it, first] = byIdentity_.try_emplace({st.st_dev, st.st_ino}, syncs_.size());
        if (first) syncs_.push_back(Sync{fd, {}});
        slots_[j] = it->second;
    }
    // Adds the sync of the folder that holds job j's target, known by its path.
    void AddFolderOf(std::size_t j, const std::string& target) {
        auto [it, first] = byFolder_.try_emplace(std::string(FolderPartOf(target)), syncs_.size());
        if (first) syncs_.push_back(Sync{-1, target});
        slots_[j] = it->second;
    }
    // Runs every sync once (a file's data is enough, fdatasync, unless they are folders) and
    // gives each job that owes one its outcome.
    void Run(SyncCrew* crew, bool folders, const std::vector<Job*>& jobs) {
        std::vector<SysResult> results(syncs_.size(), SysResult::Ok());
        RunEach(crew, syncs_.size(), [&](std::size_t i) {
            const Sync& sync = syncs_[i];
            if (sync.fd < 0) {
                results[i] = SyncFolderOf(sync.folderOf);
            } else if ((folders ? ::fsync(sync.fd) : ::fdatasync(sync.fd)) != 0) {
                results[i] = Fail(folders ? "fsync" : "fdatasync");
            }
        });
        for (std::size_t j = 0; j < jobs.size(); ++j) {
            if (slots_[j] != kNone) jobs[j]->result = results[slots_[j]];
        }
    }

private:
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    struct Sync {
        int fd;                 // open file or folder, or -1 for the folder of folderOf
        std::string folderOf;
    };
    std::vector<std::size_t> slots_;   // each job's sync, or kNone
    std::vector<Sync> syncs_;
    std::map<std::pair<dev_t, ino_t>, std::size_t> byIdentity_;
    std::map<std::string, std::size_t, std::less<>> byFolder_;
};

// Does what the jobs owe, sharing the work: a file is synced once for every job that wrote to
// it, and a folder once after every rename into it. Every job's data was written before the
// batch began, so one sync covers them all. The syncs of each stage run side by side on crew
// when there is one.
void CompleteBatch(const std::vector<Job*>& jobs, SyncCrew* crew = nullptr) {
    SyncList files(jobs.size());
    for (std::size_t j = 0; j < jobs.size(); ++j) {
        if (jobs[j]->write.file != kInvalidHandle) files.AddOpen(j, *jobs[j], static_cast<int>(jobs[j]->write.file));
    }
    files.Run(crew, false, jobs);
    for (Job* job : jobs) {
        UnsyncedWrite& write = job->write;
        if (write.temporary.empty()) continue;
        if (job->result) job->result = MoveIntoPlace(write);
        if (!job->result) RemoveTemporary(write);
        ReleaseTemporary(write.temporary);
    }
    SyncList folders(jobs.size());
    for (std::size_t j = 0; j < jobs.size(); ++j) {
        const UnsyncedWrite& write = jobs[j]->write;
        if (!jobs[j]->result || !write.syncFolder) continue;
        if (write.folder == kInvalidHandle) {
            folders.AddFolderOf(j, write.target);
        } else {
            folders.AddOpen(j, *jobs[j], static_cast<int>(write.folder));
        }
    }
    folders.Run(crew, true, jobs);
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

// How many threads help the sync worker run a batch's syncs side by side. Past about eight
// the disk gains nothing more from syncs that arrive together.
constexpr std::size_t kSyncHelpers = 7;

// One thread takes whatever has been handed over since its last round and completes it as one
// batch; the results go back to the loop through an event counter the loop watches.
struct SyncWorker::Backend final : IoHandler {
    EventLoop& loop;
    int wakeFd = -1;
    JobHandOver<Job> jobs;
    SyncTrace trace;
    std::unique_ptr<SyncCrew> crew;
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
        crew = std::make_unique<SyncCrew>(kSyncHelpers);
        thread = std::thread([this] { Serve(); });
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }

    ~Backend() {
        jobs.End();
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
        jobs.Serve(
            [this](const std::vector<Job*>& batch) {
                CompleteBatch(batch, crew.get());
                Record(trace, batch);
            },
            [this] {
                const std::uint64_t one = 1;
                (void)!::write(wakeFd, &one, sizeof one);
            });
    }

    void OnReadable() override {
        // One read takes the whole count and resets it.
        std::uint64_t count = 0;
        (void)!::read(wakeFd, &count, sizeof count);
        for (auto& job : jobs.TakeFinished()) job->done(job->result);
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
        Record(backend_->trace, {job.get()});
        loop_.Defer([job = std::shared_ptr<Job>(std::move(job))] { job->done(job->result); });
        return;
    }
    backend_->jobs.Hand(std::move(job));
}

} // namespace vserver::platform
