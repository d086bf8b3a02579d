#pragma once
// The liveness checks in progress. Each check has its own slot: the awaited connection, the
// timer that ends it, and what to do with the outcome. A check ends when the awaited connection
// answers (request type 1), when it closes, or when the timeout passes; the loop keeps serving
// every connection meanwhile, so nothing waits by blocking or polling.

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>

#include "platform/EventLoop.h"

namespace vserver::sessions { class Server; }

namespace vserver::sessions {

enum class LivenessOutcome { Answered, Closed, TimedOut };

class LivenessChecks {
public:
    using Continuation = std::function<void(LivenessOutcome)>;

    explicit LivenessChecks(Server& server) : server_(server) {}
    ~LivenessChecks();

    // Sends the liveness check ("2", account) to index and calls done exactly once with the
    // outcome, unless the server is destroyed first.
    void Start(int index, const std::string& account, Continuation done);

    // A request type 1 from index: ends every check that awaits index.
    void OnAnswer(int index);
    // The connection index has closed: its checks end at once.
    void OnConnectionClosed(int index);

    std::size_t waiting() const { return checks_.size(); }
    Server& server() const { return server_; }

private:
    struct Check {
        int awaitedIndex;
        platform::EventLoop::TimerId timer;
        Continuation done;
    };

    void Finish(std::uint64_t id, LivenessOutcome outcome);
    void FinishAwaiting(int index, LivenessOutcome outcome);

    Server& server_;
    std::uint64_t nextId_ = 1;
    std::unordered_map<std::uint64_t, Check> checks_;
};

} // namespace vserver::sessions
