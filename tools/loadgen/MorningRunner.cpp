#include "loadgen/MorningRunner.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>

#include "client/ProtocolClient.h"
#include "loadgen/LoopbackTarget.h"
#include "loadgen/MorningFiles.h"
#include "loadgen/ProcessCpu.h"

namespace vserver::loadgen::morning {

namespace {

constexpr std::uint64_t kQueueInterval = 10'000'000;      // the console queues a message every 10 ms
constexpr std::uint64_t kListInterval = 1'000'000'000;    // and lists the sessions every second
constexpr std::uint64_t kRetryDelay = 100'000'000;
constexpr std::uint16_t kMaxAttempts = 20;
constexpr std::uint64_t kSetUpTimeout = 30'000'000'000;
constexpr std::uint64_t kGrace = 120'000'000'000;         // for the window past the ramp, and the last round
constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();
constexpr std::size_t kKeptProblems = 10;

char g_receive[65536];

std::string Hex(std::string_view bytes) { return client::ToHex(bytes.substr(0, 120)); }

} // namespace

std::uint64_t MorningResult::Errors() const {
    std::uint64_t errors = lostConnections + stalled + listErrors + queue.refused + queue.unanswered + queue.lost +
                           queue.repeated + queue.wrong + (statisticsProblem.empty() ? 0 : 1) +
                           (checksAnswered == checksExpected ? 0 : 1);
    for (std::uint64_t count : wrong) errors += count;
    return errors;
}

MorningRunner::MorningRunner(const LoadOptions& options, const Expectations& plan)
    : options_(options), plan_(plan), ledger_(plan.workstations), roster_(plan) {
    peers_.resize(1 + static_cast<std::size_t>(plan.workstations));
    peers_[0].role = Role::Console;
    for (int account = 0; account < plan.workstations; ++account) {
        peers_[WorkstationPeer(account)].account = account;
        if (!HoldsOlderSession(account)) continue;
        Peer older;
        older.role = Role::Older;
        older.account = account;
        peers_.push_back(older);
        ++result_.checksExpected;
    }
    logons_.assign(static_cast<std::size_t>(plan.workstations), LogonState::NotSent);
    for (const auto& [account, payload] : plan.queuedMessages) ledger_.AddQueued(account, payload);
    queueItems_ = static_cast<std::uint64_t>(options.ramp * 1e9 / static_cast<double>(kQueueInterval) + 1e-6);
    listsDue_ = static_cast<std::uint64_t>(options.ramp + 1e-9);
}

MorningRunner::~MorningRunner() {
    for (Peer& peer : peers_) {
        if (peer.fd >= 0) ::close(peer.fd);
    }
    if (epoll_ >= 0) ::close(epoll_);
}

bool MorningRunner::Prepare(std::string* error) {
    if (!ResolveLoopback(options_.host, options_.port, address_, addressLength_)) {
        *error = "vserver-load only targets the loopback interface (127.0.0.0/8 or ::1), not " + options_.host;
        return false;
    }
    if (!RaiseDescriptorLimit(static_cast<rlim_t>(peers_.size()) + 64, error)) return false;
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (epoll_ < 0) {
        *error = std::string("epoll_create1: ") + std::strerror(errno);
        return false;
    }
    return options_.windowControl.empty() || windowControl_.Open(options_.windowControl, error);
}

void MorningRunner::Note(const std::string& what) {
    if (result_.problems.size() < kKeptProblems) result_.problems.push_back(what);
}

void MorningRunner::Problem(Kind kind, const std::string& what) {
    ++result_.wrong[static_cast<std::size_t>(kind)];
    Note(std::string(KindName(kind)) + ": " + what);
}

void MorningRunner::Watch(std::size_t index, bool wantOutput, int operation) {
    Peer& peer = peers_[index];
    epoll_event event{};
    event.events = EPOLLIN | (wantOutput ? EPOLLOUT : 0u);
    event.data.u64 = (static_cast<std::uint64_t>(peer.generation) << 32) | index;
    (void)::epoll_ctl(epoll_, operation, peer.fd, &event);
}

void MorningRunner::StartConnect(std::size_t index, std::uint64_t now) {
    Peer& peer = peers_[index];
    ++peer.attempts;
    if (peer.startedAt == 0) peer.startedAt = now;
    peer.sentAt = now;
    int fd = ::socket(address_.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        Retry(index, now, std::string("socket: ") + std::strerror(errno));
        return;
    }
    int one = 1;
    (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    peer.fd = fd;
    ++peer.generation;
    peer.phase = Phase::Connecting;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address_), addressLength_) != 0 && errno != EINPROGRESS) {
        Retry(index, now, std::string("connect: ") + std::strerror(errno));
        return;
    }
    // A connected socket reports itself writable; that event finishes the connect either way.
    Watch(index, true, EPOLL_CTL_ADD);
}

void MorningRunner::Retry(std::size_t index, std::uint64_t now, const std::string& why) {
    Peer& peer = peers_[index];
    if (peer.attempts >= kMaxAttempts) {
        Fail(index, why);
        return;
    }
    if (peer.fd >= 0) ::close(peer.fd);
    peer.fd = -1;
    peer.phase = Phase::Waiting;
    peer.retryAt = now + kRetryDelay;
    ++result_.connectRetries;
    retries_.push_back(index);
}

void MorningRunner::Fail(std::size_t index, const std::string& why) {
    Peer& peer = peers_[index];
    if (peer.phase == Phase::Failed) return;
    bool inStartUp = peer.role == Role::Workstation && peer.phase != Phase::Idle && peer.phase != Phase::Done &&
                     peer.step < kStartUpSteps;
    if (inStartUp) ++settledWorkstations_;
    if (peer.fd >= 0) ::close(peer.fd);   // closing also removes it from the epoll set
    peer.fd = -1;
    peer.phase = Phase::Failed;
    ++result_.lostConnections;
    std::string who = peer.role == Role::Console ? "the console" : peer.role == Role::Older ? "older session " : "workstation ";
    if (peer.role != Role::Console) who += std::to_string(peer.account);
    Note(who + ": " + why);
}

void MorningRunner::Send(std::size_t index, const std::string& bytes, std::uint64_t now) {
    Peer& peer = peers_[index];
    peer.sentAt = now;
    if (!peer.output.empty()) {
        peer.output += bytes;
        return;
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(peer.fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            peer.output.assign(bytes, done);
            Watch(index, true, EPOLL_CTL_MOD);
            return;
        } else {
            Fail(index, std::string("write: ") + std::strerror(errno));
            return;
        }
    }
}

void MorningRunner::Flush(std::size_t index) {
    Peer& peer = peers_[index];
    while (!peer.output.empty()) {
        ssize_t n = ::write(peer.fd, peer.output.data(), peer.output.size());
        if (n > 0) {
            peer.output.erase(0, static_cast<std::size_t>(n));
        } else if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            if (errno == EAGAIN) return;
        } else {
            Fail(index, std::string("write: ") + std::strerror(errno));
            return;
        }
    }
    Watch(index, false, EPOLL_CTL_MOD);
}

void MorningRunner::OnConnected(std::size_t index, std::uint64_t now) {
    Peer& peer = peers_[index];
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(peer.fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    if (error != 0) {
        Retry(index, now, std::string("connect: ") + std::strerror(error));
        return;
    }
    peer.phase = Phase::Greeting;
    Watch(index, false, EPOLL_CTL_MOD);
}

void MorningRunner::OnReadable(std::size_t index, std::uint64_t now) {
    Peer& peer = peers_[index];
    ssize_t n = ::read(peer.fd, g_receive, sizeof g_receive);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) {
        Fail(index, n == 0 ? "the server closed the connection" : std::string("read: ") + std::strerror(errno));
        return;
    }
    peer.input.append(g_receive, static_cast<std::size_t>(n));
    std::size_t start = 0;
    for (std::size_t end; (end = peer.input.find("\xBB\n", start)) != std::string::npos;) {
        std::string message = peer.input.substr(start, end + 2 - start);
        start = end + 2;
        OnMessage(index, message, now);
        if (peer.phase == Phase::Failed) return;
    }
    peer.input.erase(0, start);
}

void MorningRunner::OnMessage(std::size_t index, std::string_view message, std::uint64_t now) {
    Peer& peer = peers_[index];
    if (peer.phase == Phase::Greeting) {
        if (message != client::kGreeting) {
            Fail(index, "an unexpected greeting " + Hex(message));
            return;
        }
        OnGreeted(index, now);
        return;
    }
    switch (peer.role) {
    case Role::Workstation: OnWorkstationReply(peer, message, now); break;
    case Role::Older: OnOlderMessage(index, message, now); break;
    case Role::Console: OnConsoleReply(message, now); break;
    }
}

void MorningRunner::OnGreeted(std::size_t index, std::uint64_t now) {
    Peer& peer = peers_[index];
    peer.phase = Phase::Busy;
    switch (peer.role) {
    case Role::Workstation:
        logons_[static_cast<std::size_t>(peer.account)] = LogonState::Sent;
        Send(index, WorkstationRequest(plan_, peer.account, 0), now);
        break;
    case Role::Older: Send(index, OlderSessionLogon(plan_.prefix, peer.account), now); break;
    case Role::Console:
        pending_.push_back(Pending{consoleId_++, Kind::Logon, now, 0, {}, false});
        Send(index, ConsoleLogon(), now);
        break;
    }
}

void MorningRunner::Dispatch(std::uint64_t data, std::uint32_t events, std::uint64_t now) {
    auto index = static_cast<std::size_t>(data & 0xffffffffu);
    auto generation = static_cast<std::uint32_t>(data >> 32);
    Peer& peer = peers_[index];
    // An event queued for a socket that was closed earlier in the same batch is stale.
    if (peer.fd < 0 || peer.generation != generation) return;
    if (peer.phase == Phase::Connecting) {
        OnConnected(index, now);
        return;
    }
    if (events & EPOLLOUT) Flush(index);
    if (peer.fd >= 0 && (events & (EPOLLIN | EPOLLHUP | EPOLLERR))) OnReadable(index, now);
}

void MorningRunner::WaitAndDispatch(std::uint64_t now, std::uint64_t wakeAt) {
    WaitAndHandle(epoll_, now, wakeAt, [this](std::uint64_t data, std::uint32_t events, std::uint64_t at) { Dispatch(data, events, at); });
}

std::uint64_t MorningRunner::Tend(std::uint64_t now) {
    std::uint64_t wake = kNever;
    auto workstations = static_cast<std::uint64_t>(plan_.workstations);
    auto ramp = static_cast<double>(rampEnd_ - start_);
    auto dueOf = [&](std::uint64_t i) { return start_ + static_cast<std::uint64_t>(ramp * static_cast<double>(i) / static_cast<double>(workstations)); };
    for (; static_cast<std::uint64_t>(nextWorkstation_) < workstations; ++nextWorkstation_) {
        std::uint64_t due = dueOf(static_cast<std::uint64_t>(nextWorkstation_));
        if (due > now) {
            wake = due;
            break;
        }
        StartConnect(WorkstationPeer(nextWorkstation_), now);
    }
    for (std::size_t index : std::exchange(retries_, {})) {
        if (peers_[index].retryAt <= now) {
            StartConnect(index, now);
        } else {
            retries_.push_back(index);
            wake = std::min(wake, peers_[index].retryAt);
        }
    }
    if (peers_[0].phase != Phase::Busy) return wake;
    // The console keeps its own clock: a slow answer does not delay the next request.
    while (result_.queued < queueItems_ && start_ + result_.queued * kQueueInterval <= now) SendQueueItem(now);
    if (result_.queued < queueItems_) wake = std::min(wake, start_ + result_.queued * kQueueInterval);
    if (listsSent_ < listsDue_ && start_ + (listsSent_ + 1) * kListInterval <= now) {
        SendList(now, false);
        ++listsSent_;
    }
    if (listsSent_ < listsDue_) wake = std::min(wake, start_ + (listsSent_ + 1) * kListInterval);
    return wake;
}

bool MorningRunner::WindowDone() const {
    bool consoleDone = peers_[0].phase != Phase::Busy || (result_.queued == queueItems_ && listsSent_ == listsDue_ && pending_.empty());
    return settledWorkstations_ == plan_.workstations && consoleDone;
}

bool MorningRunner::SetUp(std::string* error) {
    std::uint64_t now = NowNs();
    // One after the other, so the session list's order is known: the console connected
    // first, then the older sessions, then the workstations.
    StartConnect(0, now);
    bool olderStarted = false;
    std::uint64_t deadline = now + kSetUpTimeout;
    for (;;) {
        now = NowNs();
        bool consoleReady = pending_.empty() && peers_[0].phase == Phase::Busy;
        if (consoleReady && !olderStarted) {
            for (std::size_t index = WorkstationPeer(plan_.workstations); index < peers_.size(); ++index) StartConnect(index, now);
            olderStarted = true;
        }
        bool ready = consoleReady && std::all_of(peers_.begin() + static_cast<std::ptrdiff_t>(WorkstationPeer(plan_.workstations)),
                                                 peers_.end(), [](const Peer& peer) { return peer.phase == Phase::Idle; });
        if (ready) return true;
        bool failed = std::any_of(peers_.begin(), peers_.end(), [](const Peer& peer) { return peer.phase == Phase::Failed; });
        if (failed || now >= deadline) {
            std::string target = options_.host + ":" + std::to_string(options_.port);
            *error = "cannot log the console and the older sessions on at " + target +
                     (result_.problems.empty() ? std::string(" in time") : ": " + result_.problems.front());
            return false;
        }
        for (std::size_t index : std::exchange(retries_, {})) StartConnect(index, now);
        WaitAndDispatch(now, now + 100'000'000);
    }
}

void MorningRunner::OpenWindow(std::uint64_t now) {
    windowControl_.Send("enable");
    start_ = now;
    rampEnd_ = now + ToNs(options_.ramp);
    cpuAtStart_ = CpuSeconds();
    if (options_.serverPid <= 0) return;
    serverCpuAtStart_ = ProcessCpuSeconds(options_.serverPid).value_or(-1);
    serverBytesAtStart_ = static_cast<double>(ProcessWrittenBytes(options_.serverPid).value_or(0));
    if (!ProcessWrittenBytes(options_.serverPid)) serverBytesAtStart_ = -1;
}

void MorningRunner::CloseWindow(std::uint64_t now) {
    result_.windowSeconds = static_cast<double>(now - start_) / 1e9;
    result_.clientCpuSeconds = CpuSeconds() - cpuAtStart_;
    if (options_.serverPid > 0) {
        std::optional<double> cpu = ProcessCpuSeconds(options_.serverPid);
        std::optional<std::uint64_t> bytes = ProcessWrittenBytes(options_.serverPid);
        if (cpu && serverCpuAtStart_ >= 0) result_.serverCpuSeconds = *cpu - serverCpuAtStart_;
        if (bytes && serverBytesAtStart_ >= 0) result_.serverWrittenBytes = static_cast<double>(*bytes) - serverBytesAtStart_;
    }
    windowControl_.Send("disable");
}

void MorningRunner::RunLastRound(std::uint64_t deadline) {
    std::uint64_t now = NowNs();
    std::vector<std::size_t> round;   // workstations through their start-up, collecting once more
    for (int account = 0; account < plan_.workstations; ++account) {
        std::size_t index = WorkstationPeer(account);
        if (peers_[index].phase != Phase::Idle) continue;
        round.push_back(index);
        peers_[index].phase = Phase::Busy;
        Send(index, WorkstationRequest(plan_, account, peers_[index].step), now);
    }
    bool listed = false;
    while ((now = NowNs()) < deadline) {
        bool collected = std::none_of(round.begin(), round.end(), [this](std::size_t index) { return peers_[index].phase == Phase::Busy; });
        if (collected && !listed && peers_[0].phase == Phase::Busy) {
            SendList(now, true);
            listed = true;
        }
        if (collected && pending_.empty()) return;
        WaitAndDispatch(now, deadline);
    }
}

void MorningRunner::CountStalled() {
    for (const Peer& peer : peers_) {
        bool open = peer.role == Role::Workstation ? peer.phase != Phase::Done : peer.phase != Phase::Idle && peer.phase != Phase::Busy;
        if (open && peer.phase != Phase::Failed) ++result_.stalled;
    }
    result_.stalled += pending_.size();
    if (result_.stalled > 0) Note(std::to_string(result_.stalled) + " requests or connections were never answered");
}

void MorningRunner::Run(const std::string& folder, std::size_t statisticsStart) {
    std::uint64_t now = NowNs();
    OpenWindow(now);
    std::uint64_t deadline = rampEnd_ + kGrace;
    while (!WindowDone() && (now = NowNs()) < deadline) WaitAndDispatch(now, std::min(Tend(now), deadline));
    CloseWindow(NowNs());
    RunLastRound(NowNs() + kGrace);
    CountStalled();
    result_.queue = ledger_.Count();
    if (result_.checksAnswered != result_.checksExpected) {
        Note(std::to_string(result_.checksAnswered) + " liveness checks reached the older sessions, " +
             std::to_string(result_.checksExpected) + " expected");
    }
    result_.statisticsProblem = CheckStatistics(StatisticsText(folder), statisticsStart, StatisticsColumns(plan_));
}

} // namespace vserver::loadgen::morning
