#include "platform/EventLoop.h"

#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <map>
#include <queue>
#include <unordered_map>
#include <vector>

namespace vserver::platform {

namespace {

using Clock = std::chrono::steady_clock;

struct TimerEntry {
    Clock::time_point due;
    EventLoop::TimerId id;
    bool operator>(const TimerEntry& other) const {
        return due != other.due ? due > other.due : id > other.id;
    }
};

// Readiness of the signal descriptor arrives like any other handle's.
class SignalHandler final : public IoHandler {
public:
    int fd = -1;
    std::function<void(StopSignal)> onSignal;

    void OnReadable() override {
        signalfd_siginfo info{};
        while (::read(fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            if (onSignal) onSignal(info.ssi_signo == SIGINT ? StopSignal::Interrupt : StopSignal::Terminate);
        }
    }
    void OnWritable() override {}
};

// A Stop from another thread writes to this counter, so a loop that sleeps in epoll_wait wakes
// and sees the flag.
class WakeHandler final : public IoHandler {
public:
    int fd = -1;

    void OnReadable() override {
        std::uint64_t count = 0;
        while (::read(fd, &count, sizeof count) == static_cast<ssize_t>(sizeof count)) {
        }
    }
    void OnWritable() override {}
};

} // namespace

struct EventLoop::State {
    int epollFd = -1;
    std::atomic<bool> stop{false};
    TimerId nextTimer = 1;
    std::priority_queue<TimerEntry, std::vector<TimerEntry>, std::greater<>> timerQueue;
    std::unordered_map<TimerId, std::function<void()>> timers;
    std::vector<std::function<void()>> deferred;
    std::vector<std::function<void()>> running;
    std::vector<std::function<void()>> nextTurn;
    std::vector<std::function<void()>> turnWork;
    TurnEndWork turnEnd;
    bool inRun = false;
    SignalHandler signals;
    WakeHandler wake;
};

EventLoop::EventLoop() : state_(std::make_unique<State>()) {
    state_->epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    if (state_->epollFd < 0) return;
    state_->wake.fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (state_->wake.fd < 0 || !Watch(static_cast<IoHandle>(state_->wake.fd), &state_->wake, true, false)) {
        ::close(state_->epollFd);
        state_->epollFd = -1;
    }
}

EventLoop::~EventLoop() {
    if (state_->signals.fd >= 0) ::close(state_->signals.fd);
    if (state_->wake.fd >= 0) ::close(state_->wake.fd);
    if (state_->epollFd >= 0) ::close(state_->epollFd);
}

bool EventLoop::valid() const { return state_->epollFd >= 0; }

static std::uint32_t EventMask(bool wantRead, bool wantWrite) {
    return (wantRead ? EPOLLIN | EPOLLRDHUP : 0u) | (wantWrite ? EPOLLOUT : 0u);
}

SysResult EventLoop::Watch(IoHandle handle, IoHandler* handler, bool wantRead, bool wantWrite) {
    epoll_event ev{};
    ev.events = EventMask(wantRead, wantWrite);
    ev.data.ptr = handler;
    if (::epoll_ctl(state_->epollFd, EPOLL_CTL_ADD, static_cast<int>(handle), &ev) != 0) return SysResult::Failure("epoll_ctl", errno);
    return SysResult::Ok();
}

SysResult EventLoop::Modify(IoHandle handle, IoHandler* handler, bool wantRead, bool wantWrite) {
    epoll_event ev{};
    ev.events = EventMask(wantRead, wantWrite);
    ev.data.ptr = handler;
    if (::epoll_ctl(state_->epollFd, EPOLL_CTL_MOD, static_cast<int>(handle), &ev) != 0) return SysResult::Failure("epoll_ctl", errno);
    return SysResult::Ok();
}

void EventLoop::Unwatch(IoHandle handle) {
    ::epoll_ctl(state_->epollFd, EPOLL_CTL_DEL, static_cast<int>(handle), nullptr);
}

EventLoop::TimerId EventLoop::AddTimer(std::chrono::milliseconds delay, std::function<void()> fn) {
    TimerId id = state_->nextTimer++;
    state_->timers.emplace(id, std::move(fn));
    state_->timerQueue.push({Clock::now() + delay, id});
    return id;
}

void EventLoop::CancelTimer(TimerId id) { state_->timers.erase(id); }

void EventLoop::Defer(std::function<void()> fn) { state_->deferred.push_back(std::move(fn)); }

void EventLoop::RunNextTurn(std::function<void()> fn) { state_->nextTurn.push_back(std::move(fn)); }

void EventLoop::AtTurnEnd(TurnEndStage stage, std::function<void()> fn) {
    if (!state_->inRun) return fn();
    state_->turnEnd.Add(stage, std::move(fn));
}

void EventLoop::RunTurnEndStage(TurnEndStage stage) { state_->turnEnd.RunStage(stage); }

SysResult EventLoop::WatchStopSignals(std::function<void(StopSignal)> onSignal) {
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGINT);
    if (::sigprocmask(SIG_BLOCK, &mask, nullptr) != 0) return SysResult::Failure("sigprocmask", errno);
    // A peer that vanishes mid-send must not end the process.
    ::signal(SIGPIPE, SIG_IGN);
    int fd = ::signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC);
    if (fd < 0) return SysResult::Failure("signalfd", errno);
    state_->signals.fd = fd;
    state_->signals.onSignal = std::move(onSignal);
    return Watch(static_cast<IoHandle>(fd), &state_->signals, true, false);
}

void EventLoop::Stop() {
    state_->stop = true;
    if (state_->wake.fd >= 0) {
        const std::uint64_t one = 1;
        (void)!::write(state_->wake.fd, &one, sizeof one);
    }
}

bool EventLoop::stopping() const { return state_->stop; }

void EventLoop::Run() {
    State& s = *state_;
    epoll_event events[256];
    s.inRun = true;
    while (!s.stop) {
        int timeout = -1;
        while (!s.timerQueue.empty() && !s.timers.contains(s.timerQueue.top().id)) s.timerQueue.pop();
        if (!s.deferred.empty() || !s.nextTurn.empty()) {
            timeout = 0;
        } else if (!s.timerQueue.empty()) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(s.timerQueue.top().due - Clock::now());
            timeout = left.count() < 0 ? 0 : static_cast<int>(std::min<long long>(left.count(), 1 << 30));
        }
        int count = ::epoll_wait(s.epollFd, events, 256, timeout);
        if (count < 0 && errno != EINTR) break;
        // Work handed on from the previous turn; whatever it hands on again waits for the next.
        s.turnWork.swap(s.nextTurn);
        for (int i = 0; i < count && !s.stop; ++i) {
            auto* handler = static_cast<IoHandler*>(events[i].data.ptr);
            std::uint32_t ev = events[i].events;
            if (ev & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) handler->OnReadable();
            if (ev & EPOLLOUT) handler->OnWritable();
        }
        for (std::size_t i = 0; i < s.turnWork.size() && !s.stop; ++i) s.turnWork[i]();
        s.turnWork.clear();
        auto now = Clock::now();
        while (!s.stop && !s.timerQueue.empty() && s.timerQueue.top().due <= now) {
            TimerId id = s.timerQueue.top().id;
            s.timerQueue.pop();
            auto it = s.timers.find(id);
            if (it == s.timers.end()) continue;
            auto fn = std::move(it->second);
            s.timers.erase(it);
            fn();
        }
        // Deferred work (reaping closed connections) runs after every handler of the batch has
        // returned, so no handler ever sees its object destroyed under it.
        while (!s.deferred.empty()) {
            s.running.swap(s.deferred);
            for (auto& fn : s.running) fn();
            s.running.clear();
        }
        s.turnEnd.RunAll();
    }
    s.inRun = false;
}

} // namespace vserver::platform
