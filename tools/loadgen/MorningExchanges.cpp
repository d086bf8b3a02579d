// The morning runner's side of each exchange: a workstation's replies step by step, an older
// session's logon and liveness check, and the console's answers in the order it asked.

#include "loadgen/MorningRunner.h"

#include <optional>

#include "client/ProtocolClient.h"

namespace vserver::loadgen::morning {

namespace {

std::string Hex(std::string_view bytes) { return client::ToHex(bytes.substr(0, 120)); }

// The text between a reply's head and its terminator, or nothing when the reply has neither.
std::optional<std::string_view> Between(std::string_view message, std::string_view head) {
    if (!message.starts_with(head) || !message.ends_with("\xBB\n")) return std::nullopt;
    return message.substr(head.size(), message.size() - head.size() - 2);
}

} // namespace

void MorningRunner::OnWorkstationReply(Peer& peer, std::string_view message, std::uint64_t now) {
    Kind kind = KindOfStep(peer.step);
    if (peer.phase != Phase::Busy) {
        Problem(kind, "workstation " + std::to_string(peer.account) + " was sent a message it did not ask for: " + Hex(message));
        return;
    }
    result_.latency[static_cast<std::size_t>(kind)].Record(now - peer.sentAt);
    (void)CheckWorkstationReply(peer, message);
    if (peer.step == 0) {
        logons_[static_cast<std::size_t>(peer.account)] = LogonRefused(peer.account) ? LogonState::Refused : LogonState::LoggedOn;
    }
    NextStep(static_cast<std::size_t>(&peer - peers_.data()), now);
}

bool MorningRunner::CheckWorkstationReply(const Peer& peer, std::string_view message) {
    Kind kind = KindOfStep(peer.step);
    std::string who = "workstation " + std::to_string(peer.account) + ", step " + std::to_string(peer.step + 1);
    if (kind == Kind::CollectMessages || kind == Kind::LastCollect) {
        std::optional<std::string_view> result = Between(message, CollectionReplyHead(peer.step));
        std::string problem = result ? ledger_.Deliver(peer.account, *result) : "not a collection's reply: " + Hex(message);
        if (!problem.empty()) Problem(kind, who + ": " + problem);
        return problem.empty();
    }
    std::string expected = WorkstationReply(plan_, peer.account, peer.step);
    if (message == expected) return true;
    Problem(kind, who + ": got " + Hex(message) + ", expected " + Hex(expected));
    return false;
}

void MorningRunner::NextStep(std::size_t index, std::uint64_t now) {
    Peer& peer = peers_[index];
    ++peer.step;
    if (peer.step == kStartUpSteps) {
        result_.startUp.Record(now - peer.startedAt);
        ++result_.startUps;
        ++settledWorkstations_;
        peer.phase = Phase::Idle;
        return;
    }
    if (peer.step == kAllSteps) {
        peer.phase = Phase::Done;
        return;
    }
    Send(index, WorkstationRequest(plan_, peer.account, peer.step), now);
}

void MorningRunner::OnOlderMessage(std::size_t index, std::string_view message, std::uint64_t now) {
    Peer& peer = peers_[index];
    std::string who = "older session " + std::to_string(peer.account);
    if (peer.phase == Phase::Busy) {
        if (message != ShortReply(1)) {
            Fail(index, "its logon was answered " + Hex(message));
            return;
        }
        peer.phase = Phase::Idle;
        return;
    }
    if (message != LivenessCheck(plan_.prefix, peer.account)) {
        Problem(Kind::Logon, who + " was sent " + Hex(message));
        return;
    }
    // The client is alive and says so; the server then refuses the new logon as in use.
    ++result_.checksAnswered;
    Send(index, LivenessAnswer(plan_.prefix, peer.account), now);
}

void MorningRunner::OnConsoleReply(std::string_view message, std::uint64_t now) {
    if (pending_.empty()) {
        Problem(Kind::Queue, "the console was sent a message it did not ask for: " + Hex(message));
        return;
    }
    Pending asked = std::move(pending_.front());
    pending_.pop_front();
    if (asked.kind == Kind::Logon) {
        if (message != ShortReply(asked.id)) Fail(0, "its logon was answered " + Hex(message));
        return;
    }
    result_.latency[static_cast<std::size_t>(asked.kind)].Record(now - asked.sentAt);
    std::string who = "console request " + std::to_string(asked.id);
    if (asked.kind == Kind::Queue) {
        bool stored = message == QueueReply(asked.id, true);
        if (stored || message == QueueReply(asked.id, false)) ledger_.Answer(asked.message, stored);
        else Problem(Kind::Queue, who + ": got " + Hex(message) + ", expected " + Hex(QueueReply(asked.id, true)));
        return;
    }
    ++result_.lists;
    std::optional<std::string_view> list = Between(message, ListReplyHead(asked.id));
    std::string problem = list ? roster_.Check(*list, asked.before, logons_, asked.settled) : "not a session list: " + Hex(message);
    if (problem.empty()) return;
    ++result_.listErrors;
    Note(std::string(KindName(Kind::List)) + ": " + who + (asked.settled ? " (the last)" : "") + ": " + problem);
}

void MorningRunner::SendQueueItem(std::uint64_t now) {
    int account = static_cast<int>(random_() % static_cast<std::uint32_t>(plan_.workstations));
    std::string name = AccountName(plan_.prefix, account);
    std::string payload = "Note " + std::to_string(result_.queued) + " for " + name;
    ++result_.queued;
    long long id = consoleId_++;
    pending_.push_back(Pending{id, Kind::Queue, now, ledger_.AddSent(account, payload), {}, false});
    Send(0, QueueRequest(id, name, payload), now);
}

void MorningRunner::SendList(std::uint64_t now, bool settled) {
    long long id = consoleId_++;
    pending_.push_back(Pending{id, Kind::List, now, 0, logons_, settled});
    Send(0, ListRequest(id), now);
}

} // namespace vserver::loadgen::morning
