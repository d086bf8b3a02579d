#pragma once
// The load generator's engine: one thread, one epoll set, N non-blocking connections that each
// keep exactly one request in flight, plus the pairs of connections that keep liveness checks
// waiting. It owns the sockets, one shared receive buffer, the prebuilt request bytes and the
// latency histogram; per connection it keeps only counters, so a request allocates nothing.

#include <cstdint>
#include <string>
#include <sys/socket.h>
#include <vector>

#include "loadgen/LatencyHistogram.h"
#include "loadgen/LoadOptions.h"
#include "loadgen/SessionScript.h"

namespace vserver::loadgen {

struct LoadResult {
    std::uint64_t replies = 0;        // replies (or whole logon cycles) completed in the window
    std::uint64_t errors = 0;         // wrong bytes, extra bytes, lost connections
    std::uint64_t lost = 0;            // connections closed after their greeting
    std::uint64_t stalled = 0;        // requests still unanswered long after they were sent
    double connectSeconds = 0;        // time to open every connection and read its greeting
    double measuredSeconds = 0;
    double clientCpuShare = 0;        // this process's CPU time over the measured window
    double serverCpuSeconds = -1;     // the --server-pid process's CPU time over the window
    double meanWaits = 0;             // liveness checks waiting, averaged over the window
    std::uint64_t waitsEnded = 0;     // checks that ended with the silent session's end
    double waitedSeconds = 0;         // their total length, from the check to the logon reply
    LatencyHistogram latency;
};

class LoadRunner {
public:
    explicit LoadRunner(const LoadOptions& options) : options_(options) {}
    ~LoadRunner();
    LoadRunner(const LoadRunner&) = delete;
    LoadRunner& operator=(const LoadRunner&) = delete;

    // Resolves the loopback address, raises the descriptor limit, builds every connection's
    // request bytes and creates the epoll set. False with *error when the target is not a
    // loopback address or a resource is missing.
    bool Prepare(std::string* error);
    // Opens every connection and reads its greeting. False with *error when they cannot all be
    // opened within the connect timeout.
    bool OpenAll(std::string* error);
    // Waits until every silent pair has a liveness check waiting in the server. False with
    // *error when that does not happen within the connect timeout.
    bool SetUpSilentWaits(std::string* error);
    // Runs the warm-up and the measured window; or, in idle mode, holds the connections.
    void Run();

    const LoadResult& result() const { return result_; }
    const std::string& lastError() const { return lastError_; }

private:
    // Exchange: the fixed request again and again. Cycle: logon, event, logoff, reconnect.
    // Silent: one of a pair that holds an account and never answers its liveness check.
    enum class Role : std::uint8_t { Exchange, Cycle, Silent };
    // Closing: the logoff went out and the server's close is awaited. Parked: a silent
    // connection waits for its partner's logon before its own. Holding: a silent connection is
    // logged on and takes in the check and the disconnect notice.
    enum class Phase : std::uint8_t { Closed, Connecting, Greeting, Ready, Sending, Receiving, Closing, Parked, Holding };
    struct Slot {
        int fd = -1;
        std::uint32_t generation = 0;
        Phase phase = Phase::Closed;
        std::uint8_t step = 0;         // a cycle's position: logon, event, logoff
        std::uint16_t attempts = 0;
        std::uint32_t done = 0;        // bytes of greeting, request or reply moved so far
        std::uint64_t since = 0;       // request sent, or connect attempt begun (ns)
        std::uint64_t retryAt = 0;     // when a closed slot may connect again (ns)
        std::uint64_t cycleStart = 0;  // when the current logon cycle began (ns)
    };
    struct SilentPair {
        SilentSessionScript script;
        bool waiting = false;          // the server holds a liveness check of this pair's account
        std::uint64_t waitStart = 0;
    };

    Role RoleOf(std::uint32_t index) const;
    std::uint32_t PairOf(std::uint32_t index) const;
    std::uint32_t PartnerOf(std::uint32_t index) const;
    const std::string& RequestOf(std::uint32_t index) const;
    const std::string& ReplyOf(std::uint32_t index) const;
    bool InWindow(std::uint64_t at) const { return at >= measureStart_ && at < measureEnd_; }

    void StartConnect(std::uint32_t index, std::uint64_t now);
    void Fail(std::uint32_t index, std::uint64_t now, bool countError);
    // Closes a connection that ended as it should and lets it connect again at once.
    void Recycle(std::uint32_t index, std::uint64_t now);
    void CloseSlot(Slot& slot);
    void OnConnectable(std::uint32_t index, std::uint64_t now);
    void OnGreeting(std::uint32_t index, std::uint64_t now);
    void OnReply(std::uint32_t index, std::uint64_t now);
    void OnIdleEvent(std::uint32_t index, std::uint64_t now);
    void OnLogoffClose(std::uint32_t index, std::uint64_t now);
    void StartRequest(std::uint32_t index, std::uint64_t now);
    void ContinueSending(std::uint32_t index, std::uint64_t now);
    // A silent connection past its greeting logs on at once unless its partner's logon is
    // under way; then it goes after it, so that exactly one of the two waits.
    void OnSilentGreeted(std::uint32_t index, std::uint64_t now);
    void OnSilentLoggedOn(std::uint32_t index, std::uint64_t now);
    void OnSilentBytes(std::uint32_t index, std::uint64_t now);
    void StartWait(SilentPair& pair, std::uint64_t now);
    void EndWait(SilentPair& pair, std::uint64_t now, bool served);
    // Adds the time since the last change, times the checks waiting, to the window's total.
    void AccountWaits(std::uint64_t now);
    void Dispatch(std::uint64_t data, std::uint32_t events, std::uint64_t now);
    void Watch(const Slot& slot, std::uint32_t index, std::uint32_t events, int operation);
    // Starts connects for closed slots whose retry time has come, up to the batch size, and
    // abandons attempts that take too long. Returns the earliest time worth waking for.
    std::uint64_t TendConnections(std::uint64_t now);
    // Waits for events until wakeAt at the latest (and at most 100 ms) and handles them.
    void WaitAndDispatch(std::uint64_t now, std::uint64_t wakeAt);
    void CountStalled(std::uint64_t now);

    const LoadOptions& options_;
    sockaddr_storage address_{};
    socklen_t addressLength_ = 0;
    int epoll_ = -1;
    std::vector<Slot> slots_;          // the N main connections, then two per silent pair
    std::vector<CycleScript> cycles_;  // per main connection in logon-cycle mode
    std::vector<SilentPair> pairs_;
    std::string logonReply_, eventReply_;
    std::uint32_t connecting_ = 0;    // slots in Connecting or Greeting
    std::uint32_t ready_ = 0;         // slots past their greeting
    std::uint32_t sweepFrom_ = 0;     // where the next connect sweep begins, for fairness
    std::uint64_t nextSweep_ = 0;
    bool running_ = false;            // the load phase: ready slots send at once
    bool wrongGreeting_ = false;      // the peer is not the server we expect
    bool gaveUp_ = false;             // a slot used up its connect attempts
    std::uint64_t measureStart_ = 0, measureEnd_ = 0;
    std::uint32_t waitsActive_ = 0;
    std::uint64_t waitsCountedTo_ = 0;
    double waitIntegral_ = 0;         // waiting checks times nanoseconds, inside the window
    std::string lastError_;
    LoadResult result_;
};

} // namespace vserver::loadgen
