#include "loadgen/LoadRunner.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "loadgen/LoopbackTarget.h"
#include "loadgen/ProcessCpu.h"

namespace vserver::loadgen {

namespace {

constexpr std::uint64_t kAttemptTimeout = 3'000'000'000;   // connect plus greeting
constexpr std::uint16_t kMaxAttempts = 30;
constexpr std::uint64_t kStalledAfter = 2'000'000'000;     // a request unanswered this long
constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();
constexpr std::size_t kReceiveBuffer = 65536;

// Refused or dropped connects are retried after a pause that grows with each attempt, so a
// full listen backlog drains instead of being hammered.
std::uint64_t Backoff(std::uint16_t attempts) {
    return std::min<std::uint64_t>(10'000'000ull * attempts, 500'000'000ull);
}

char g_receive[kReceiveBuffer];

} // namespace

LoadRunner::~LoadRunner() {
    for (Slot& slot : slots_) CloseSlot(slot);
    if (epoll_ >= 0) ::close(epoll_);
}

bool LoadRunner::Prepare(std::string* error) {
    if (!ResolveLoopback(options_.host, options_.port, address_, addressLength_)) {
        *error = "vserver-load only targets the loopback interface (127.0.0.0/8 or ::1), not " + options_.host;
        return false;
    }
    std::size_t silent = 2 * static_cast<std::size_t>(options_.silentWaits);
    std::size_t total = static_cast<std::size_t>(options_.connections) + silent;
    if (!RaiseDescriptorLimit(static_cast<rlim_t>(total) + 64, error)) return false;
    if (options_.serverPid > 0 && !ProcessCpuSeconds(options_.serverPid)) {
        *error = "cannot read the CPU time of process " + std::to_string(options_.serverPid);
        return false;
    }
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (epoll_ < 0) {
        *error = std::string("epoll_create1: ") + std::strerror(errno);
        return false;
    }
    slots_.assign(total, Slot{});
    if (options_.logonCycles) {
        cycles_.reserve(static_cast<std::size_t>(options_.connections));
        for (int i = 0; i < options_.connections; ++i) cycles_.push_back(MakeCycleScript(options_.accountPrefix + std::to_string(i)));
    }
    pairs_.resize(static_cast<std::size_t>(options_.silentWaits));
    for (std::size_t k = 0; k < pairs_.size(); ++k) pairs_[k].script = MakeSilentSessionScript(options_.silentPrefix + std::to_string(k));
    logonReply_ = Completion(kLogonId);
    eventReply_ = Completion(kEventId);
    return true;
}

LoadRunner::Role LoadRunner::RoleOf(std::uint32_t index) const {
    if (index >= static_cast<std::uint32_t>(options_.connections)) return Role::Silent;
    return options_.logonCycles ? Role::Cycle : Role::Exchange;
}

std::uint32_t LoadRunner::PairOf(std::uint32_t index) const {
    return (index - static_cast<std::uint32_t>(options_.connections)) / 2;
}

std::uint32_t LoadRunner::PartnerOf(std::uint32_t index) const {
    auto first = static_cast<std::uint32_t>(options_.connections);
    return first + ((index - first) ^ 1u);
}

const std::string& LoadRunner::RequestOf(std::uint32_t index) const {
    switch (RoleOf(index)) {
    case Role::Cycle: return cycles_[index].requests[slots_[index].step];
    case Role::Silent: return pairs_[PairOf(index)].script.logon;
    case Role::Exchange: break;
    }
    return options_.request;
}

const std::string& LoadRunner::ReplyOf(std::uint32_t index) const {
    switch (RoleOf(index)) {
    case Role::Cycle: return slots_[index].step == 0 ? logonReply_ : eventReply_;
    case Role::Silent: return logonReply_;
    case Role::Exchange: break;
    }
    return options_.reply;
}

void LoadRunner::Watch(const Slot& slot, std::uint32_t index, std::uint32_t events, int operation) {
    epoll_event event{};
    event.events = events;
    event.data.u64 = (static_cast<std::uint64_t>(slot.generation) << 32) | index;
    (void)::epoll_ctl(epoll_, operation, slot.fd, &event);
}

void LoadRunner::CloseSlot(Slot& slot) {
    if (slot.fd >= 0) ::close(slot.fd);   // closing also removes it from the epoll set
    slot.fd = -1;
    slot.phase = Phase::Closed;
}

void LoadRunner::StartConnect(std::uint32_t index, std::uint64_t now) {
    Slot& slot = slots_[index];
    ++slot.attempts;
    slot.since = now;
    slot.cycleStart = now;
    slot.done = 0;
    slot.step = 0;
    int fd = ::socket(address_.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        lastError_ = std::string("socket: ") + std::strerror(errno);
        slot.retryAt = now + Backoff(slot.attempts);
        return;
    }
    int one = 1;
    (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address_), addressLength_) != 0 && errno != EINPROGRESS) {
        lastError_ = std::string("connect: ") + std::strerror(errno);
        ::close(fd);
        slot.retryAt = now + Backoff(slot.attempts);
        return;
    }
    // A connected socket reports itself writable; that event finishes the connect either way.
    slot.fd = fd;
    ++slot.generation;
    slot.phase = Phase::Connecting;
    ++connecting_;
    Watch(slot, index, EPOLLOUT, EPOLL_CTL_ADD);
}

void LoadRunner::Fail(std::uint32_t index, std::uint64_t now, bool countError) {
    Slot& slot = slots_[index];
    if (slot.phase == Phase::Connecting || slot.phase == Phase::Greeting) {
        --connecting_;
    } else if (slot.phase != Phase::Closed) {
        --ready_;
        ++result_.lost;
    }
    if (countError) ++result_.errors;
    // A silent pair that loses a connection no longer holds its check for certain.
    if (RoleOf(index) == Role::Silent && pairs_[PairOf(index)].waiting) EndWait(pairs_[PairOf(index)], now, false);
    CloseSlot(slot);
    slot.retryAt = now + Backoff(slot.attempts);
}

void LoadRunner::Recycle(std::uint32_t index, std::uint64_t now) {
    Slot& slot = slots_[index];
    --ready_;
    CloseSlot(slot);
    slot.attempts = 0;
    slot.retryAt = now;
}

void LoadRunner::OnConnectable(std::uint32_t index, std::uint64_t now) {
    Slot& slot = slots_[index];
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(slot.fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    if (error != 0) {
        lastError_ = std::string("connect: ") + std::strerror(error);
        Fail(index, now, false);
        return;
    }
    slot.phase = Phase::Greeting;
    Watch(slot, index, EPOLLIN, EPOLL_CTL_MOD);
    if (options_.greeting.empty()) OnGreeting(index, now);
}

void LoadRunner::OnGreeting(std::uint32_t index, std::uint64_t now) {
    Slot& slot = slots_[index];
    const std::string& greeting = options_.greeting;
    if (slot.done < greeting.size()) {
        ssize_t n = ::read(slot.fd, g_receive, greeting.size() - slot.done);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        if (n <= 0) {
            lastError_ = "connection closed before its greeting";
            Fail(index, now, false);
            return;
        }
        if (std::memcmp(g_receive, greeting.data() + slot.done, static_cast<std::size_t>(n)) != 0) {
            lastError_ = "unexpected greeting bytes";
            wrongGreeting_ = true;
            Fail(index, now, true);
            return;
        }
        slot.done += static_cast<std::uint32_t>(n);
        if (slot.done < greeting.size()) return;
    }
    --connecting_;
    ++ready_;
    slot.attempts = 0;
    if (RoleOf(index) == Role::Silent) {
        OnSilentGreeted(index, now);
        return;
    }
    slot.phase = Phase::Ready;
    if (running_) StartRequest(index, now);
}

void LoadRunner::StartRequest(std::uint32_t index, std::uint64_t now) {
    Slot& slot = slots_[index];
    slot.since = now;
    slot.done = 0;
    slot.phase = Phase::Sending;
    ContinueSending(index, now);
}

void LoadRunner::ContinueSending(std::uint32_t index, std::uint64_t now) {
    Slot& slot = slots_[index];
    const std::string& request = RequestOf(index);
    bool waited = slot.done > 0;
    while (slot.done < request.size()) {
        ssize_t n = ::write(slot.fd, request.data() + slot.done, request.size() - slot.done);
        if (n > 0) {
            slot.done += static_cast<std::uint32_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            if (!waited) Watch(slot, index, EPOLLIN | EPOLLOUT, EPOLL_CTL_MOD);
            return;
        } else {
            lastError_ = std::string("write: ") + std::strerror(errno);
            Fail(index, now, true);
            return;
        }
    }
    if (waited) Watch(slot, index, EPOLLIN, EPOLL_CTL_MOD);
    slot.done = 0;
    // The logoff has no reply: the server closes the connection instead.
    bool logoff = RoleOf(index) == Role::Cycle && slot.step == 2;
    slot.phase = logoff ? Phase::Closing : Phase::Receiving;
}

void LoadRunner::OnReply(std::uint32_t index, std::uint64_t now) {
    Slot& slot = slots_[index];
    const std::string& reply = ReplyOf(index);
    ssize_t n = ::read(slot.fd, g_receive, sizeof g_receive);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) {
        lastError_ = "the server closed a connection";
        Fail(index, now, true);
        return;
    }
    std::size_t got = static_cast<std::size_t>(n);
    // One request is in flight, so every byte must belong to its reply; anything else means
    // the stream is out of step and the connection is replaced.
    if (slot.phase != Phase::Receiving || got > reply.size() - slot.done ||
        std::memcmp(g_receive, reply.data() + slot.done, got) != 0) {
        lastError_ = "unexpected reply bytes";
        Fail(index, now, true);
        return;
    }
    slot.done += static_cast<std::uint32_t>(got);
    if (slot.done < reply.size()) return;
    std::uint64_t completed = NowNs();
    switch (RoleOf(index)) {
    case Role::Exchange:
        if (InWindow(completed)) {
            result_.latency.Record(completed - slot.since);
            ++result_.replies;
        }
        StartRequest(index, completed);
        break;
    case Role::Cycle:
        ++slot.step;
        StartRequest(index, completed);
        break;
    case Role::Silent: OnSilentLoggedOn(index, completed); break;
    }
}

void LoadRunner::OnLogoffClose(std::uint32_t index, std::uint64_t now) {
    Slot& slot = slots_[index];
    ssize_t n = ::read(slot.fd, g_receive, sizeof g_receive);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n != 0) {
        lastError_ = n > 0 ? "bytes after a logoff" : std::string("read after a logoff: ") + std::strerror(errno);
        Fail(index, now, true);
        return;
    }
    std::uint64_t completed = NowNs();
    if (InWindow(completed)) {
        result_.latency.Record(completed - slot.cycleStart);
        ++result_.replies;
    }
    Recycle(index, completed);
}

void LoadRunner::OnIdleEvent(std::uint32_t index, std::uint64_t now) {
    Slot& slot = slots_[index];
    ssize_t n = ::read(slot.fd, g_receive, sizeof g_receive);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n > 0) {
        lastError_ = "bytes on an idle connection";
        ++result_.errors;   // an idle connection is sent nothing
        return;
    }
    lastError_ = "the server closed an idle connection";
    Fail(index, now, true);
}

void LoadRunner::OnSilentGreeted(std::uint32_t index, std::uint64_t now) {
    Phase partner = slots_[PartnerOf(index)].phase;
    if (partner == Phase::Sending || partner == Phase::Receiving) {
        slots_[index].phase = Phase::Parked;
        return;
    }
    // The partner either holds the account, and this logon waits for its check, or holds
    // nothing yet, and this connection takes the account first.
    StartRequest(index, now);
}

void LoadRunner::OnSilentLoggedOn(std::uint32_t index, std::uint64_t now) {
    SilentPair& pair = pairs_[PairOf(index)];
    if (pair.waiting) EndWait(pair, now, true);
    Slot& slot = slots_[index];
    slot.phase = Phase::Holding;
    slot.done = 0;
    std::uint32_t partner = PartnerOf(index);
    if (slots_[partner].phase == Phase::Parked) StartRequest(partner, now);
}

void LoadRunner::OnSilentBytes(std::uint32_t index, std::uint64_t now) {
    Slot& slot = slots_[index];
    SilentPair& pair = pairs_[PairOf(index)];
    const std::string& expected = pair.script.received;
    ssize_t n = ::read(slot.fd, g_receive, sizeof g_receive);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n == 0 && slot.done == expected.size()) {
        // Check, notice and close: the server has ended this session, the partner takes over.
        Recycle(index, now);
        return;
    }
    std::size_t got = n > 0 ? static_cast<std::size_t>(n) : 0;
    if (n <= 0 || got > expected.size() - slot.done || std::memcmp(g_receive, expected.data() + slot.done, got) != 0) {
        lastError_ = n <= 0 ? "a silent session was closed before its disconnect notice"
                            : "unexpected bytes for a silent session";
        Fail(index, now, true);
        return;
    }
    bool checkedBefore = slot.done >= pair.script.checkLength;
    slot.done += static_cast<std::uint32_t>(got);
    if (!checkedBefore && slot.done >= pair.script.checkLength) StartWait(pair, now);
}

void LoadRunner::AccountWaits(std::uint64_t now) {
    std::uint64_t from = std::max(waitsCountedTo_, measureStart_);
    std::uint64_t to = std::min(now, measureEnd_);
    if (to > from) waitIntegral_ += static_cast<double>(to - from) * waitsActive_;
    waitsCountedTo_ = now;
}

void LoadRunner::StartWait(SilentPair& pair, std::uint64_t now) {
    if (pair.waiting) return;
    AccountWaits(now);
    pair.waiting = true;
    pair.waitStart = now;
    ++waitsActive_;
}

void LoadRunner::EndWait(SilentPair& pair, std::uint64_t now, bool served) {
    AccountWaits(now);
    pair.waiting = false;
    --waitsActive_;
    if (served) {
        ++result_.waitsEnded;
        result_.waitedSeconds += static_cast<double>(now - pair.waitStart) / 1e9;
    }
}

void LoadRunner::Dispatch(std::uint64_t data, std::uint32_t events, std::uint64_t now) {
    auto index = static_cast<std::uint32_t>(data & 0xffffffffu);
    auto generation = static_cast<std::uint32_t>(data >> 32);
    Slot& slot = slots_[index];
    // An event queued for a socket that was closed earlier in the same batch is stale.
    if (slot.fd < 0 || slot.generation != generation) return;
    switch (slot.phase) {
    case Phase::Connecting: OnConnectable(index, now); break;
    case Phase::Greeting: OnGreeting(index, now); break;
    case Phase::Ready:
    case Phase::Parked: OnIdleEvent(index, now); break;
    case Phase::Sending:
        if (events & EPOLLOUT) ContinueSending(index, now);
        if (slot.phase == Phase::Sending && (events & (EPOLLIN | EPOLLHUP | EPOLLERR))) OnReply(index, now);
        break;
    case Phase::Receiving: OnReply(index, now); break;
    case Phase::Closing: OnLogoffClose(index, now); break;
    case Phase::Holding: OnSilentBytes(index, now); break;
    case Phase::Closed: break;
    }
}

std::uint64_t LoadRunner::TendConnections(std::uint64_t now) {
    std::uint64_t wake = kNever;
    if (ready_ + connecting_ == slots_.size() && connecting_ == 0) return wake;
    // With the batch full nothing can start; only attempts that take too long need a look,
    // and they are counted in seconds.
    auto batch = static_cast<std::uint32_t>(options_.connectBatch);
    if (connecting_ >= batch && now < nextSweep_) return nextSweep_;
    nextSweep_ = now + 1'000'000;
    auto count = static_cast<std::uint32_t>(slots_.size());
    std::uint32_t first = sweepFrom_;
    for (std::uint32_t n = 0; n < count; ++n) {
        std::uint32_t i = first + n < count ? first + n : first + n - count;
        Slot& slot = slots_[i];
        if ((slot.phase == Phase::Connecting || slot.phase == Phase::Greeting) && now - slot.since > kAttemptTimeout) {
            lastError_ = slot.phase == Phase::Connecting ? "connect timed out" : "no greeting in time";
            Fail(i, now, false);
        }
        if (slot.phase != Phase::Closed) continue;
        if (slot.attempts >= kMaxAttempts) {
            gaveUp_ = true;
            continue;
        }
        if (slot.retryAt <= now && connecting_ < batch) {
            StartConnect(i, now);
            // Slots that had to wait go first next time, so a cycle is never starved.
            sweepFrom_ = i + 1 < count ? i + 1 : 0;
        }
        if (slot.phase == Phase::Closed) wake = std::min(wake, std::max(slot.retryAt, now + 1'000'000));
        else wake = std::min(wake, slot.since + kAttemptTimeout);
    }
    return wake;
}

void LoadRunner::WaitAndDispatch(std::uint64_t now, std::uint64_t wakeAt) {
    WaitAndHandle(epoll_, now, wakeAt, [this](std::uint64_t data, std::uint32_t events, std::uint64_t at) { Dispatch(data, events, at); });
}

bool LoadRunner::OpenAll(std::string* error) {
    std::uint64_t start = NowNs();
    std::uint64_t deadline = start + ToNs(options_.connectTimeout);
    while (ready_ < slots_.size()) {
        std::uint64_t now = NowNs();
        std::uint64_t wake = TendConnections(now);
        if (wrongGreeting_ || gaveUp_ || now >= deadline) {
            std::string target = options_.host + ":" + std::to_string(options_.port);
            if (wrongGreeting_) *error = target + " sent an unexpected greeting";
            else *error = "cannot open " + std::to_string(slots_.size()) + " connections to " + target + " (" +
                          std::to_string(ready_) + " open): " + lastError_;
            return false;
        }
        WaitAndDispatch(now, std::min(wake, deadline));
    }
    result_.connectSeconds = static_cast<double>(NowNs() - start) / 1e9;
    return true;
}

bool LoadRunner::SetUpSilentWaits(std::string* error) {
    std::uint64_t deadline = NowNs() + ToNs(options_.connectTimeout);
    while (waitsActive_ < pairs_.size()) {
        std::uint64_t now = NowNs();
        std::uint64_t wake = TendConnections(now);
        // A refused logon (a missing account folder, say) would only repeat itself.
        if (gaveUp_ || result_.errors > 0 || now >= deadline) {
            *error = "cannot set up " + std::to_string(pairs_.size()) + " liveness waits (" + std::to_string(waitsActive_) +
                     " waiting)" + (lastError_.empty() ? "" : ": " + lastError_);
            return false;
        }
        WaitAndDispatch(now, std::min(wake, deadline));
    }
    return true;
}

void LoadRunner::CountStalled(std::uint64_t now) {
    // A request the server swallowed would otherwise only show as a lower rate. A silent
    // pair's waiting logon is slow on purpose.
    for (std::uint32_t i = 0; i < slots_.size(); ++i) {
        const Slot& slot = slots_[i];
        bool inFlight = slot.phase == Phase::Sending || slot.phase == Phase::Receiving || slot.phase == Phase::Closing;
        if (inFlight && RoleOf(i) != Role::Silent && now - slot.since > kStalledAfter) {
            ++result_.stalled;
            ++result_.errors;
        }
    }
}

void LoadRunner::Run() {
    std::uint64_t now = NowNs();
    // Idle connections are only held, so there is nothing to warm up.
    measureStart_ = options_.idle ? now : now + ToNs(options_.warmup);
    measureEnd_ = measureStart_ + ToNs(options_.seconds);
    if (!options_.idle) {
        running_ = true;
        for (std::uint32_t i = 0; i < slots_.size(); ++i) {
            if (slots_[i].phase != Phase::Ready) continue;
            slots_[i].cycleStart = now;
            StartRequest(i, now);
        }
    }
    bool measuring = false;
    double cpuAtStart = 0;
    double serverCpuAtStart = 0;
    for (;;) {
        now = NowNs();
        if (!measuring && now >= measureStart_) {
            measuring = true;
            cpuAtStart = CpuSeconds();
            if (options_.serverPid > 0) serverCpuAtStart = ProcessCpuSeconds(options_.serverPid).value_or(-1);
        }
        if (now >= measureEnd_) break;
        std::uint64_t wake = TendConnections(now);
        WaitAndDispatch(now, std::min(wake, measuring ? measureEnd_ : measureStart_));
    }
    if (options_.serverPid > 0) {
        std::optional<double> serverCpu = ProcessCpuSeconds(options_.serverPid);
        if (serverCpu && serverCpuAtStart >= 0) result_.serverCpuSeconds = *serverCpu - serverCpuAtStart;
    }
    result_.measuredSeconds = options_.seconds;
    result_.clientCpuShare = (CpuSeconds() - cpuAtStart) / options_.seconds;
    AccountWaits(measureEnd_);
    result_.meanWaits = waitIntegral_ / static_cast<double>(measureEnd_ - measureStart_);
    CountStalled(now);
}

} // namespace vserver::loadgen
