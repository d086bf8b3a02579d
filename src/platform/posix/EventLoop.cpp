#include "platform/EventLoop.h"

#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

#include "platform/common/LoopWork.h"

namespace vserver::platform {

namespace {

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
    LoopWork work;
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

LoopWork& EventLoop::work() { return state_->work; }

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

// epoll keeps readiness in the kernel's own set, which never overflows: no notice is lost.
void EventLoop::OnLostNotice(std::function<void()>) {}

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
    s.work.SetRunning(true);
    while (!s.stop) {
        int timeout = -1;
        if (auto limit = s.work.WaitLimit()) timeout = static_cast<int>(std::min<long long>(limit->count(), 1 << 30));
        int count = ::epoll_wait(s.epollFd, events, 256, timeout);
        if (count < 0 && errno != EINTR) break;
        s.work.BeginTurn();
        for (int i = 0; i < count && !s.stop; ++i) {
            auto* handler = static_cast<IoHandler*>(events[i].data.ptr);
            std::uint32_t ev = events[i].events;
            if (ev & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) handler->OnReadable();
            if (ev & EPOLLOUT) handler->OnWritable();
        }
        s.work.FinishTurn(s.stop);
        s.work.RunTurnEnd();
    }
    s.work.SetRunning(false);
}

} // namespace vserver::platform
