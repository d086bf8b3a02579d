#pragma once
// The checks of the morning scenario whose right answer depends on timing: which queued
// messages a collection may hand out (DeliveryLedger), what the console's session list may
// hold while workstations log on (SessionRoster), and the statistics lines the run leaves.

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "loadgen/MorningPlan.h"

namespace vserver::loadgen::morning {

// Every message queued for the run's accounts: those left from the day before, and those the
// console queues, with the server's answer. Collections report what they handed out; in the
// end each acknowledged message must have been handed out exactly once, to its account, and an
// account's messages in the order they were queued.
class DeliveryLedger {
public:
    using MessageId = std::uint32_t;

    explicit DeliveryLedger(int accounts) : lastDelivered_(static_cast<std::size_t>(accounts), 0) {}

    // A message already in the queue file: it counts as acknowledged.
    void AddQueued(int account, const std::string& payload);
    // A message the console sends now; its answer comes later.
    MessageId AddSent(int account, const std::string& payload);
    void Answer(MessageId id, bool stored);

    // The result of a collection by account (payloads joined by 0xB0, empty for none). Returns
    // what was wrong with it, or nothing.
    std::string Deliver(int account, std::string_view result);

    struct Totals {
        std::uint64_t acknowledged = 0;   // answered "True", or queued before the run
        std::uint64_t refused = 0;        // answered "False"
        std::uint64_t unanswered = 0;     // sent, with no answer
        std::uint64_t delivered = 0;      // acknowledged messages handed out at least once
        std::uint64_t lost = 0;           // acknowledged and never handed out
        std::uint64_t repeated = 0;       // handed out more than once
        std::uint64_t wrong = 0;          // unknown, for another account, out of order, or refused yet handed out
    };
    Totals Count() const;

private:
    enum class State : std::uint8_t { Sent, Stored, Refused };
    struct Message {
        int account;
        State state;
        std::uint32_t deliveries;
    };

    MessageId Add(int account, const std::string& payload, State state);

    std::vector<Message> messages_;
    std::unordered_map<std::string, MessageId> byPayload_;
    std::vector<MessageId> lastDelivered_;   // per account, the latest message handed out, plus 1
    std::uint64_t wrong_ = 0;
};

// Where a workstation's logon stands, as the runner saw it.
enum class LogonState : std::uint8_t { NotSent, Sent, LoggedOn, Refused };

// The entries the session list may hold: the console, every older session, and each
// workstation whose logon was sent; and workstations not logged on, as placeholders.
class SessionRoster {
public:
    explicit SessionRoster(const Expectations& plan);

    // Checks a session list (the result after its 0xB0). before: the logons as they stood when
    // the request was sent (each one logged on then must be listed); now: as they stand at the
    // reply (no workstation may be listed that had not asked). The console and then the older
    // sessions connected first, so they come last. With settled, nothing was under way: the
    // workstations refused must be listed as placeholders. Returns what was wrong, or nothing.
    std::string Check(std::string_view list, const std::vector<LogonState>& before, const std::vector<LogonState>& now,
                      bool settled) const;

private:
    // Owner of an entry: -1 the console, -2 - k the older session of account k, k a workstation.
    std::unordered_map<std::string, int> owners_;
    std::vector<int> olderAccounts_;
};

// Compares the statistics lines written since start (the file's size before the run) with the
// expected columns after date and time, in any order. Returns what was wrong, or nothing.
std::string CheckStatistics(const std::string& fileText, std::size_t start, std::vector<std::string> expected);

} // namespace vserver::loadgen::morning
