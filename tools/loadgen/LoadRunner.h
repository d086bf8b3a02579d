#pragma once
// The load generator's engine: one thread, one epoll set, N non-blocking connections that each
// keep exactly one request in flight. It owns the sockets, one shared receive buffer and the
// latency histogram; per connection it keeps only counters, so a request allocates nothing.

#include <cstdint>
#include <string>
#include <sys/socket.h>
#include <vector>

#include "loadgen/LatencyHistogram.h"
#include "loadgen/LoadOptions.h"

namespace vserver::loadgen {

struct LoadResult {
    std::uint64_t replies = 0;        // completed inside the measured window
    std::uint64_t errors = 0;         // wrong bytes, extra bytes, lost connections
    std::uint64_t lost = 0;            // connections closed after their greeting
    std::uint64_t stalled = 0;        // requests still unanswered long after they were sent
    double connectSeconds = 0;        // time to open every connection and read its greeting
    double measuredSeconds = 0;
    double clientCpuShare = 0;        // this process's CPU time over the measured window
    LatencyHistogram latency;
};

class LoadRunner {
public:
    explicit LoadRunner(const LoadOptions& options) : options_(options) {}
    ~LoadRunner();
    LoadRunner(const LoadRunner&) = delete;
    LoadRunner& operator=(const LoadRunner&) = delete;

    // Resolves the loopback address, raises the descriptor limit and creates the epoll set.
    // False with *error when the target is not a loopback address or a resource is missing.
    bool Prepare(std::string* error);
    // Opens every connection and reads its greeting. False with *error when they cannot all be
    // opened within the connect timeout.
    bool OpenAll(std::string* error);
    // Runs the warm-up and the measured window; or, in idle mode, holds the connections.
    void Run();

    const LoadResult& result() const { return result_; }
    const std::string& lastError() const { return lastError_; }

private:
    enum class Phase : std::uint8_t { Closed, Connecting, Greeting, Ready, Sending, Receiving };
    struct Slot {
        int fd = -1;
        std::uint32_t generation = 0;
        Phase phase = Phase::Closed;
        std::uint16_t attempts = 0;
        std::uint32_t done = 0;        // bytes of greeting, request or reply moved so far
        std::uint64_t since = 0;       // request sent, or connect attempt begun (ns)
        std::uint64_t retryAt = 0;     // when a closed slot may connect again (ns)
    };

    void StartConnect(std::uint32_t index, std::uint64_t now);
    void Fail(std::uint32_t index, std::uint64_t now, bool countError);
    void CloseSlot(Slot& slot);
    void OnConnectable(std::uint32_t index, std::uint64_t now);
    void OnGreeting(std::uint32_t index, std::uint64_t now);
    void OnReply(std::uint32_t index, std::uint64_t now);
    void OnIdleEvent(std::uint32_t index, std::uint64_t now);
    void StartRequest(std::uint32_t index, std::uint64_t now);
    void ContinueSending(std::uint32_t index, std::uint64_t now);
    void Dispatch(std::uint64_t data, std::uint32_t events, std::uint64_t now);
    void Watch(const Slot& slot, std::uint32_t index, std::uint32_t events, int operation);
    // Starts connects for closed slots whose retry time has come, up to the batch size, and
    // abandons attempts that take too long. Returns the earliest time worth waking for.
    std::uint64_t TendConnections(std::uint64_t now);
    // Waits for events until wakeAt at the latest (and at most 100 ms) and handles them.
    void WaitAndDispatch(std::uint64_t now, std::uint64_t wakeAt);

    const LoadOptions& options_;
    sockaddr_storage address_{};
    socklen_t addressLength_ = 0;
    int epoll_ = -1;
    std::vector<Slot> slots_;
    std::uint32_t connecting_ = 0;    // slots in Connecting or Greeting
    std::uint32_t ready_ = 0;         // slots past their greeting
    bool running_ = false;            // the load phase: ready slots send at once
    bool wrongGreeting_ = false;      // the peer is not the server we expect
    bool gaveUp_ = false;             // a slot used up its connect attempts
    std::uint64_t measureStart_ = 0, measureEnd_ = 0;
    std::string lastError_;
    LoadResult result_;
};

} // namespace vserver::loadgen
