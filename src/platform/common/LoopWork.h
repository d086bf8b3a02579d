#pragma once
// The part of an event loop that is not the system's readiness wait: the timer heap, the work
// deferred to the end of the current turn and the work handed on to the next turn. Each
// backend's loop owns one and calls it around its wait, so every system runs this work in the
// same order. Used inside platform/ only.

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <queue>
#include <unordered_map>
#include <vector>

#include "platform/EventLoop.h"

namespace vserver::platform {

class LoopWork {
public:
    EventLoop::TimerId AddTimer(std::chrono::milliseconds delay, std::function<void()> fn);
    void CancelTimer(EventLoop::TimerId id);
    void Defer(std::function<void()> fn) { deferred_.push_back(std::move(fn)); }
    void RunNextTurn(std::function<void()> fn) { nextTurn_.push_back(std::move(fn)); }
    // Work for the end of the current turn; outside a running loop it runs at once.
    void AtTurnEnd(TurnEndStage stage, std::function<void()> fn) {
        if (!runningTurns_) return fn();
        turnEnd_.Add(stage, std::move(fn));
    }
    void RunTurnEndStage(TurnEndStage stage) { turnEnd_.RunStage(stage); }
    void RunTurnEnd() { turnEnd_.RunAll(); }
    // Whether the loop is serving turns (between the start and the end of Run).
    void SetRunning(bool running) { runningTurns_ = running; }

    // How long the loop may wait for readiness: zero while deferred or next-turn work waits,
    // the time to the earliest live timer (rounded up, never negative), or nothing when no
    // timer is set.
    std::optional<std::chrono::milliseconds> WaitLimit();

    // Called once after each wait: takes the work handed on from the previous turn, so that
    // whatever it hands on again waits for the next.
    void BeginTurn() { turnWork_.swap(nextTurn_); }
    // After the turn's readiness events: the work taken by BeginTurn, then the timers due by
    // now, then the deferred work (and what it defers in turn). The first two stop early once
    // stop is set; deferred work always runs, since it reaps what the handlers closed.
    void FinishTurn(const std::atomic<bool>& stop);
    // The two halves of FinishTurn, for a loop that has work of its own between them.
    void RunHandedOn(const std::atomic<bool>& stop);
    void RunDueAndDeferred(const std::atomic<bool>& stop);

private:
    using Clock = std::chrono::steady_clock;
    struct TimerEntry {
        Clock::time_point due;
        EventLoop::TimerId id;
        bool operator>(const TimerEntry& other) const { return due != other.due ? due > other.due : id > other.id; }
    };

    EventLoop::TimerId nextTimer_ = 1;
    std::priority_queue<TimerEntry, std::vector<TimerEntry>, std::greater<>> timerQueue_;
    std::unordered_map<EventLoop::TimerId, std::function<void()>> timers_;
    std::vector<std::function<void()>> deferred_;
    std::vector<std::function<void()>> running_;
    std::vector<std::function<void()>> nextTurn_;
    std::vector<std::function<void()>> turnWork_;
    TurnEndWork turnEnd_;
    bool runningTurns_ = false;
};

} // namespace vserver::platform
