#include "sessions/LivenessChecks.h"

#include <chrono>
#include <vector>

#include "sessions/Server.h"
#include "wire/Reply.h"

namespace vserver::sessions {

LivenessChecks::~LivenessChecks() {
    for (auto& [id, check] : checks_) server_.loop().CancelTimer(check.timer);
}

void LivenessChecks::Start(int index, const std::string& account, Continuation done) {
    std::uint64_t id = nextId_++;
    auto timeout = std::chrono::seconds(server_.livenessTimeoutSeconds);
    auto timer = server_.loop().AddTimer(std::chrono::duration_cast<std::chrono::milliseconds>(timeout), [this, id, index] {
        // An answer sent in time may still wait unread while a busy server works through
        // other connections' input: what the session has sent is read before it is judged.
        server_.net().ServeWaitingInput(index);
        Finish(id, LivenessOutcome::TimedOut);
    });
    checks_.emplace(id, Check{index, timer, std::move(done)});
    wire::Reply message;
    server_.net().SendToIndex(message.Notice(wire::MessageCode::LivenessCheck, account).text(), index);
}

void LivenessChecks::OnAnswer(int index) { FinishAwaiting(index, LivenessOutcome::Answered); }

void LivenessChecks::OnConnectionClosed(int index) { FinishAwaiting(index, LivenessOutcome::Closed); }

void LivenessChecks::FinishAwaiting(int index, LivenessOutcome outcome) {
    std::vector<std::uint64_t> ending;
    for (const auto& [id, check] : checks_) {
        if (check.awaitedIndex == index) ending.push_back(id);
    }
    for (std::uint64_t id : ending) Finish(id, outcome);
}

void LivenessChecks::Finish(std::uint64_t id, LivenessOutcome outcome) {
    auto it = checks_.find(id);
    if (it == checks_.end()) return;
    Continuation done = std::move(it->second.done);
    server_.loop().CancelTimer(it->second.timer);
    checks_.erase(it);
    done(outcome);
}

} // namespace vserver::sessions
