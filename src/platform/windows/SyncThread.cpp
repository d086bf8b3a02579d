// The sync thread of this backend: it takes whatever has been handed over since its last round
// and completes it as one batch, then wakes the loop through a loopback socket that the loop
// watches like any other, and the loop runs the completions.

#include "SocketHeaders.h"

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <thread>
#include <utility>
#include <vector>

#include "WriteCompletion.h"
#include "platform/DurableWrites.h"
#include "platform/Socket.h"
#include "platform/common/JobHandOver.h"
#include "platform/common/SyncTrace.h"

namespace vserver::platform {

using writes::Job;

namespace {

// How often, and how far apart, the sync thread tries a rename over a file that another
// program holds: a scanner or backup agent keeps a file for moments, so ten seconds in all is
// plenty, while a program that keeps it longer must not hold the write up for good. Between
// tries the write waits on the loop's timer, and the thread goes on with other writes.
constexpr int kHeldReplaceAttempts = 40;
constexpr std::chrono::milliseconds kHeldReplaceDelay{250};

void CloseSocketHandle(SOCKET& s) {
    if (s != INVALID_SOCKET) ::closesocket(std::exchange(s, INVALID_SOCKET));
}

// A connected pair of loopback sockets: the sync thread writes to writer, the loop watches
// reader. Both are non-blocking and kept from child processes.
bool ConnectWakePair(SOCKET& reader, SOCKET& writer) {
    if (StartSocketSupport() != SocketSupport::Ready) return false;
    SOCKET listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener == INVALID_SOCKET) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    bool ok = ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(listener, 1) == 0 &&
              ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    writer = ok ? ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP) : INVALID_SOCKET;
    ok = writer != INVALID_SOCKET && ::connect(writer, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    reader = ok ? ::accept(listener, nullptr, nullptr) : INVALID_SOCKET;
    CloseSocketHandle(listener);
    // Another local program could have connected first; only our own writer may wake the loop.
    sockaddr_in peer{}, own{};
    int peerLength = sizeof peer, ownLength = sizeof own;
    ok = reader != INVALID_SOCKET && ::getpeername(reader, reinterpret_cast<sockaddr*>(&peer), &peerLength) == 0 &&
         ::getsockname(writer, reinterpret_cast<sockaddr*>(&own), &ownLength) == 0 && peer.sin_port == own.sin_port;
    u_long nonBlocking = 1;
    const BOOL noDelay = TRUE;
    ok = ok && ::ioctlsocket(writer, FIONBIO, &nonBlocking) == 0 && ::ioctlsocket(reader, FIONBIO, &nonBlocking) == 0 &&
         ::setsockopt(writer, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay) == 0;
    if (ok) {
        (void)::SetHandleInformation(reinterpret_cast<HANDLE>(reader), HANDLE_FLAG_INHERIT, 0);
        (void)::SetHandleInformation(reinterpret_cast<HANDLE>(writer), HANDLE_FLAG_INHERIT, 0);
        return true;
    }
    CloseSocketHandle(reader);
    CloseSocketHandle(writer);
    return false;
}

} // namespace

struct SyncWorker::Backend final : IoHandler {
    EventLoop& loop;
    SOCKET wakeReader = INVALID_SOCKET;
    SOCKET wakeWriter = INVALID_SOCKET;
    JobHandOver<Job> jobs;
    // Writes whose target another program held, until their next try (loop thread only).
    struct Waiting {
        EventLoop::TimerId timer = 0;
        std::unique_ptr<Job> job;
    };
    std::map<std::uint64_t, Waiting> waiting;
    std::uint64_t nextWaiting = 0;
    SyncTrace trace;
    std::thread thread;

    explicit Backend(EventLoop& eventLoop) : loop(eventLoop) {
        if (!ConnectWakePair(wakeReader, wakeWriter)) return;
        if (!loop.Watch(static_cast<IoHandle>(wakeReader), this, true, false)) {
            CloseSocketHandle(wakeReader);
            CloseSocketHandle(wakeWriter);
            return;
        }
        thread = std::thread([this] { Serve(); });
    }

    ~Backend() {
        jobs.End();
        if (thread.joinable()) thread.join();
        if (wakeReader != INVALID_SOCKET) loop.Unwatch(static_cast<IoHandle>(wakeReader));
        CloseSocketHandle(wakeReader);
        CloseSocketHandle(wakeWriter);
        FinishLeftovers();
    }

    bool threaded() const { return thread.joinable(); }

    // What still waits for a holder when the worker ends gets one last try, so that no write
    // handed over is left half done; no completion runs any more.
    void FinishLeftovers() {
        std::vector<Job*> left;
        for (auto& [key, entry] : waiting) {
            loop.CancelTimer(entry.timer);
            left.push_back(entry.job.get());
        }
        const auto finished = jobs.TakeFinished();
        for (const auto& job : finished) {
            if (job->busy) left.push_back(job.get());
        }
        writes::CompleteBatch(left, 0);
    }

    void Hand(std::unique_ptr<Job> job) { jobs.Hand(std::move(job)); }

    void Serve() {
        jobs.Serve(
            [this](const std::vector<Job*>& batch) {
                writes::CompleteBatch(batch, kHeldReplaceAttempts);
                trace.Append(writes::TraceLines(batch));
            },
            [this] {
                const char one = 1;
                (void)::send(wakeWriter, &one, 1, 0);
            });
    }

    // A write whose target was held is tried again after a while; the loop serves everyone
    // else meanwhile.
    void WaitForHolder(std::unique_ptr<Job> job) {
        const std::uint64_t key = nextWaiting++;
        Waiting& entry = waiting[key];
        entry.job = std::move(job);
        entry.timer = loop.AddTimer(kHeldReplaceDelay, [this, key] {
            auto it = waiting.find(key);
            std::unique_ptr<Job> again = std::move(it->second.job);
            waiting.erase(it);
            Hand(std::move(again));
        });
    }

    void OnReadable() override {
        char drained[64];
        while (::recv(wakeReader, drained, sizeof drained, 0) > 0) {
        }
        for (auto& job : jobs.TakeFinished()) {
            if (job->busy) {
                WaitForHolder(std::move(job));
            } else {
                job->done(job->result);
            }
        }
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
        writes::CompleteAtOnce(*job);
        backend_->trace.Append(writes::TraceLines({job.get()}));
        loop_.Defer([job = std::shared_ptr<Job>(std::move(job))] { job->done(job->result); });
        return;
    }
    backend_->Hand(std::move(job));
}

} // namespace vserver::platform
