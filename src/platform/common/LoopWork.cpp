#include "platform/common/LoopWork.h"

namespace vserver::platform {

EventLoop::TimerId LoopWork::AddTimer(std::chrono::milliseconds delay, std::function<void()> fn) {
    EventLoop::TimerId id = nextTimer_++;
    timers_.emplace(id, std::move(fn));
    timerQueue_.push({Clock::now() + delay, id});
    return id;
}

void LoopWork::CancelTimer(EventLoop::TimerId id) { timers_.erase(id); }

std::optional<std::chrono::milliseconds> LoopWork::WaitLimit() {
    // Cancelled timers stay in the heap until they reach its top; none may bound the wait.
    while (!timerQueue_.empty() && !timers_.contains(timerQueue_.top().id)) timerQueue_.pop();
    if (!deferred_.empty() || !nextTurn_.empty()) return std::chrono::milliseconds(0);
    if (timerQueue_.empty()) return std::nullopt;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(timerQueue_.top().due - Clock::now());
    return left.count() < 0 ? std::chrono::milliseconds(0) : left;
}

void LoopWork::FinishTurn(const std::atomic<bool>& stop) {
    RunHandedOn(stop);
    RunDueAndDeferred(stop);
}

void LoopWork::RunHandedOn(const std::atomic<bool>& stop) {
    for (std::size_t i = 0; i < turnWork_.size() && !stop; ++i) turnWork_[i]();
    turnWork_.clear();
}

void LoopWork::RunDueAndDeferred(const std::atomic<bool>& stop) {
    auto now = Clock::now();
    while (!stop && !timerQueue_.empty() && timerQueue_.top().due <= now) {
        EventLoop::TimerId id = timerQueue_.top().id;
        timerQueue_.pop();
        auto it = timers_.find(id);
        if (it == timers_.end()) continue;
        auto fn = std::move(it->second);
        timers_.erase(it);
        fn();
    }
    // Deferred work (reaping closed connections) runs after every handler of the batch has
    // returned, so no handler ever sees its object destroyed under it.
    while (!deferred_.empty()) {
        running_.swap(deferred_);
        for (auto& fn : running_) fn();
        running_.clear();
    }
}

// The loop's own calls for this work, alike on every backend.
EventLoop::TimerId EventLoop::AddTimer(std::chrono::milliseconds delay, std::function<void()> fn) {
    return work().AddTimer(delay, std::move(fn));
}

void EventLoop::CancelTimer(TimerId id) { work().CancelTimer(id); }

void EventLoop::Defer(std::function<void()> fn) { work().Defer(std::move(fn)); }

void EventLoop::RunNextTurn(std::function<void()> fn) { work().RunNextTurn(std::move(fn)); }

void EventLoop::AtTurnEnd(TurnEndStage stage, std::function<void()> fn) { work().AtTurnEnd(stage, std::move(fn)); }

void EventLoop::RunTurnEndStage(TurnEndStage stage) { work().RunTurnEndStage(stage); }

} // namespace vserver::platform
