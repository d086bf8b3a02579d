#pragma once
// The morning scenario's engine: one thread, one epoll set, non-blocking connections for the
// console, the older sessions and the workstations. Workstations connect on the ramp's
// schedule and run their start-up one request at a time; the console sends on its own clock
// without waiting for answers, which come back in order. The runner owns the sockets and the
// checks; the plan (requests and stored answers) belongs to the caller.

#include <array>
#include <cstdint>
#include <deque>
#include <random>
#include <string>
#include <sys/socket.h>
#include <vector>

#include "loadgen/LatencyHistogram.h"
#include "loadgen/LoadOptions.h"
#include "loadgen/MorningChecks.h"
#include "loadgen/MorningPlan.h"
#include "loadgen/WindowControl.h"

namespace vserver::loadgen::morning {

struct MorningResult {
    std::array<LatencyHistogram, kKinds> latency;
    std::array<std::uint64_t, kKinds> wrong{};
    LatencyHistogram startUp;              // a workstation's connect to its last event's reply
    std::uint64_t startUps = 0;            // workstations through their start-up
    std::uint64_t lostConnections = 0;     // closed by the server, or failed to connect
    std::uint64_t connectRetries = 0;
    std::uint64_t stalled = 0;             // requests, connects or checks still open at the end
    std::uint64_t checksAnswered = 0;      // liveness checks the older sessions received
    std::uint64_t checksExpected = 0;
    std::uint64_t lists = 0;               // session lists checked, the last one included
    std::uint64_t listErrors = 0;
    std::uint64_t queued = 0;              // messages the console sent
    DeliveryLedger::Totals queue;
    std::string statisticsProblem;
    std::vector<std::string> problems;     // the first few wrong replies and failures, described
    double windowSeconds = 0;              // from the first connect to the last start-up's end
    double clientCpuSeconds = 0;
    double serverCpuSeconds = -1;          // over the window, when the server's pid is known
    double serverWrittenBytes = -1;

    std::uint64_t Errors() const;
};

class MorningRunner {
public:
    MorningRunner(const LoadOptions& options, const Expectations& plan);
    ~MorningRunner();
    MorningRunner(const MorningRunner&) = delete;
    MorningRunner& operator=(const MorningRunner&) = delete;

    // Resolves the address, raises the descriptor limit, creates the epoll set and opens the
    // window control. False with *error.
    bool Prepare(std::string* error);
    // Connects the console and the older sessions and logs them on. False with *error when
    // that does not succeed within 30 s.
    bool SetUp(std::string* error);
    // The measured window (the ramp, the console's queueing and lists, until every start-up and
    // every queued message is answered), then the last round of collections, the last session
    // list and the check of the statistics file in folder from statisticsStart on.
    void Run(const std::string& folder, std::size_t statisticsStart);

    const MorningResult& result() const { return result_; }

private:
    enum class Role : std::uint8_t { Console, Workstation, Older };
    // Waiting: not connected yet. Busy: a request out (the console: logged on and sending).
    // Idle: through its start-up (the older sessions: logged on, waiting for their check).
    enum class Phase : std::uint8_t { Waiting, Connecting, Greeting, Busy, Idle, Done, Failed };
    struct Peer {
        int fd = -1;
        std::uint32_t generation = 0;
        Role role = Role::Workstation;
        Phase phase = Phase::Waiting;
        std::uint8_t step = 0;
        std::uint16_t attempts = 0;
        int account = 0;
        std::uint64_t startedAt = 0;   // the first connect
        std::uint64_t sentAt = 0;      // the request out, or the connect under way
        std::uint64_t retryAt = 0;
        std::string input;             // the start of a message not yet whole
        std::string output;            // bytes the socket has not taken yet
    };
    // A console request whose answer has not come.
    struct Pending {
        long long id;
        Kind kind;
        std::uint64_t sentAt;
        DeliveryLedger::MessageId message;
        std::vector<LogonState> before;   // a session list's: the logons when it was asked for
        bool settled;
    };

    // Peers: the console first, then the workstations (account order), then the older sessions.
    std::size_t WorkstationPeer(int account) const { return 1 + static_cast<std::size_t>(account); }

    void StartConnect(std::size_t index, std::uint64_t now);
    void Retry(std::size_t index, std::uint64_t now, const std::string& why);
    void Fail(std::size_t index, const std::string& why);
    void Watch(std::size_t index, bool wantOutput, int operation);
    void Send(std::size_t index, const std::string& bytes, std::uint64_t now);
    void Flush(std::size_t index);
    void OnConnected(std::size_t index, std::uint64_t now);
    void OnReadable(std::size_t index, std::uint64_t now);
    void OnMessage(std::size_t index, std::string_view message, std::uint64_t now);
    void OnGreeted(std::size_t index, std::uint64_t now);
    void OnWorkstationReply(Peer& peer, std::string_view message, std::uint64_t now);
    bool CheckWorkstationReply(const Peer& peer, std::string_view message);
    void NextStep(std::size_t index, std::uint64_t now);
    void OnOlderMessage(std::size_t index, std::string_view message, std::uint64_t now);
    void OnConsoleReply(std::string_view message, std::uint64_t now);
    void SendQueueItem(std::uint64_t now);
    void SendList(std::uint64_t now, bool settled);
    // Counts a wrong reply to a request of kind and keeps its description.
    void Problem(Kind kind, const std::string& what);
    void Note(const std::string& what);
    void Dispatch(std::uint64_t data, std::uint32_t events, std::uint64_t now);
    void WaitAndDispatch(std::uint64_t now, std::uint64_t wakeAt);
    // Starts the connects and console requests that are due; returns when the next one is.
    std::uint64_t Tend(std::uint64_t now);
    bool WindowDone() const;
    bool AllInPhase(Role role, Phase phase) const;
    void OpenWindow(std::uint64_t now);
    void CloseWindow(std::uint64_t now);
    void RunLastRound(std::uint64_t deadline);
    void CountStalled();

    const LoadOptions& options_;
    const Expectations& plan_;
    DeliveryLedger ledger_;
    SessionRoster roster_;
    WindowControl windowControl_;
    sockaddr_storage address_{};
    socklen_t addressLength_ = 0;
    int epoll_ = -1;
    std::vector<Peer> peers_;
    std::vector<LogonState> logons_;
    std::deque<Pending> pending_;
    long long consoleId_ = 1;
    std::uint64_t start_ = 0;            // the window's start: the ramp begins
    std::uint64_t rampEnd_ = 0;
    int nextWorkstation_ = 0;
    int settledWorkstations_ = 0;        // through their start-up, or failed
    std::vector<std::size_t> retries_;   // peers waiting to connect again
    std::mt19937 random_{20260801};      // the console's choice of accounts, the same every run
    std::uint64_t queueItems_ = 0;       // items the console queues in all
    std::uint64_t listsDue_ = 0;         // lists the console asks for in the window
    std::uint64_t listsSent_ = 0;
    double cpuAtStart_ = 0, serverCpuAtStart_ = -1, serverBytesAtStart_ = -1;
    MorningResult result_;
};

} // namespace vserver::loadgen::morning
