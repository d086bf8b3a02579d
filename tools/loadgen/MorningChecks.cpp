#include "loadgen/MorningChecks.h"

#include <algorithm>
#include <unordered_set>

#include "client/ProtocolClient.h"

namespace vserver::loadgen::morning {

namespace {

constexpr int kConsoleOwner = -1;
constexpr int kPlaceholderOwner = -1000000000;
constexpr int kUnknownOwner = -1000000001;

int OlderOwner(int account) { return -2 - account; }
int AccountOfOlder(int owner) { return -2 - owner; }

// A connection that has not logged on: "<Logging On, Index #", its index, "...>", then three
// empty fields. The index, or empty when entry is no placeholder.
std::string_view PlaceholderIndex(std::string_view entry) {
    constexpr std::string_view kHead = "<Logging On, Index #";
    constexpr std::string_view kTail = "...>\xA7\xA7\xA7";
    if (!entry.starts_with(kHead) || !entry.ends_with(kTail)) return {};
    std::string_view digits = entry.substr(kHead.size(), entry.size() - kHead.size() - kTail.size());
    bool numeric = !digits.empty() && std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
    return numeric ? digits : std::string_view();
}

std::string Shown(std::string_view entry) {
    std::string shown = client::ToHex(entry.substr(0, 80));
    shown += " (hex)";
    return shown;
}

// What the entries of one list were found to be.
struct Listing {
    std::vector<char> workstations;
    std::vector<char> older;
    std::size_t placeholders = 0;
    bool console = false;
};

std::string Missing(const Listing& seen, const std::vector<LogonState>& before, const std::vector<int>& olderAccounts,
                    bool settled) {
    if (!seen.console) return "the console is not listed";
    for (int account : olderAccounts) {
        if (!seen.older[static_cast<std::size_t>(account)]) return "the older session of account " + std::to_string(account) + " is not listed";
    }
    std::size_t refused = 0;
    for (std::size_t account = 0; account < before.size(); ++account) {
        refused += before[account] == LogonState::Refused ? 1 : 0;
        if (before[account] == LogonState::LoggedOn && !seen.workstations[account]) {
            return "workstation " + std::to_string(account) + " logged on and is not listed";
        }
    }
    if (settled && seen.placeholders != refused) {
        return std::to_string(seen.placeholders) + " connections listed as not logged on, " + std::to_string(refused) + " expected";
    }
    return {};
}

} // namespace

DeliveryLedger::MessageId DeliveryLedger::Add(int account, const std::string& payload, State state) {
    auto id = static_cast<MessageId>(messages_.size());
    messages_.push_back(Message{account, state, 0});
    byPayload_.emplace(payload, id);
    return id;
}

void DeliveryLedger::AddQueued(int account, const std::string& payload) { (void)Add(account, payload, State::Stored); }

DeliveryLedger::MessageId DeliveryLedger::AddSent(int account, const std::string& payload) {
    return Add(account, payload, State::Sent);
}

void DeliveryLedger::Answer(MessageId id, bool stored) { messages_[id].state = stored ? State::Stored : State::Refused; }

std::string DeliveryLedger::Deliver(int account, std::string_view result) {
    std::string problem;
    auto wrong = [this, &problem](std::string text) {
        ++wrong_;
        if (problem.empty()) problem = std::move(text);
    };
    std::size_t start = 0;
    while (!result.empty() && start <= result.size()) {
        std::size_t end = std::min(result.find(client::kItemSeparator, start), result.size());
        std::string payload(result.substr(start, end - start));
        start = end + 1;
        auto found = byPayload_.find(payload);
        if (found == byPayload_.end()) {
            wrong("a message nobody queued: " + payload);
            continue;
        }
        Message& message = messages_[found->second];
        if (++message.deliveries > 1) {
            if (problem.empty()) problem = "handed out again: " + payload;
            continue;
        }
        MessageId& last = lastDelivered_[static_cast<std::size_t>(account)];
        if (message.account != account) {
            wrong("account " + std::to_string(account) + " was handed another's message: " + payload);
        } else if (message.state == State::Refused) {
            wrong("a message the console was told was not queued: " + payload);
        } else {
            if (found->second + 1 <= last) wrong("handed out after a message queued later: " + payload);
            last = std::max(last, found->second + 1);
        }
    }
    return problem;
}

DeliveryLedger::Totals DeliveryLedger::Count() const {
    Totals totals;
    totals.wrong = wrong_;
    for (const Message& message : messages_) {
        if (message.deliveries > 1) ++totals.repeated;
        switch (message.state) {
        case State::Sent: ++totals.unanswered; break;
        case State::Refused: ++totals.refused; break;
        case State::Stored:
            ++totals.acknowledged;
            ++(message.deliveries > 0 ? totals.delivered : totals.lost);
            break;
        }
    }
    return totals;
}

SessionRoster::SessionRoster(const Expectations& plan) {
    owners_.emplace(ConsoleEntry(), kConsoleOwner);
    for (int account = 0; account < plan.workstations; ++account) {
        owners_.emplace(WorkstationEntry(plan.prefix, account), account);
        if (!HoldsOlderSession(account)) continue;
        owners_.emplace(OlderSessionEntry(plan.prefix, account), OlderOwner(account));
        olderAccounts_.push_back(account);
    }
}

std::string SessionRoster::Check(std::string_view list, const std::vector<LogonState>& before,
                                 const std::vector<LogonState>& now, bool settled) const {
    Listing seen{std::vector<char>(now.size(), 0), std::vector<char>(now.size(), 0)};
    std::unordered_set<std::string_view> indexes;
    bool pastWorkstations = false;
    for (std::size_t start = 0; start <= list.size();) {
        std::size_t end = std::min(list.find(client::kSectionSeparator, start), list.size());
        std::string_view entry = list.substr(start, end - start);
        start = end + 1;
        std::string_view index = PlaceholderIndex(entry);
        auto found = owners_.find(std::string(entry));
        int owner = !index.empty() ? kPlaceholderOwner : found != owners_.end() ? found->second : kUnknownOwner;
        if (owner == kUnknownOwner) return "an entry of no session of the run: " + Shown(entry);
        if (seen.console) return "an entry after the console's, which connected first: " + Shown(entry);
        // The console connected first and the older sessions next, so they come last.
        bool workstation = owner >= 0 || owner == kPlaceholderOwner;
        if (workstation && pastWorkstations) return "a workstation listed after an older session: " + Shown(entry);
        pastWorkstations = pastWorkstations || !workstation;
        if (owner == kPlaceholderOwner) {
            if (!indexes.insert(index).second) return "two placeholders for index " + std::string(index);
            ++seen.placeholders;
        } else if (owner == kConsoleOwner) {
            seen.console = true;
        } else {
            auto account = static_cast<std::size_t>(owner >= 0 ? owner : AccountOfOlder(owner));
            std::vector<char>& listed = owner >= 0 ? seen.workstations : seen.older;
            if (listed[account]) return "listed twice: " + Shown(entry);
            listed[account] = 1;
            if (owner >= 0 && (now[account] == LogonState::NotSent || LogonRefused(owner))) {
                return "workstation " + std::to_string(owner) + " listed as logged on, which it never was";
            }
        }
    }
    return Missing(seen, before, olderAccounts_, settled);
}

std::string CheckStatistics(const std::string& fileText, std::size_t start, std::vector<std::string> expected) {
    std::string_view added = fileText;
    // The run's first line overwrote the NUL that ended the file.
    added.remove_prefix(std::min(start > 0 ? start - 1 : 0, added.size()));
    if (!added.ends_with('\0') || added.find('\0') != added.size() - 1) return "the file does not end in exactly one NUL";
    added.remove_suffix(1);
    std::vector<std::string> written;
    for (std::size_t at = 0; at < added.size();) {
        std::size_t end = added.find("\r\n", at);
        if (end == std::string_view::npos) return "a line without CR LF at the end";
        std::string_view line = added.substr(at, end - at);
        at = end + 2;
        std::size_t first = line.find('\t');
        std::size_t second = first == std::string_view::npos ? first : line.find('\t', first + 1);
        if (second == std::string_view::npos) return "a line without date and time: " + std::string(line);
        written.emplace_back(line.substr(second + 1));
    }
    std::sort(written.begin(), written.end());
    std::sort(expected.begin(), expected.end());
    std::vector<std::string> missing, extra;
    std::set_difference(expected.begin(), expected.end(), written.begin(), written.end(), std::back_inserter(missing));
    std::set_difference(written.begin(), written.end(), expected.begin(), expected.end(), std::back_inserter(extra));
    if (missing.empty() && extra.empty()) return {};
    std::string problem = std::to_string(missing.size()) + " lines missing, " + std::to_string(extra.size()) + " unexpected";
    const std::string& first = missing.empty() ? extra.front() : missing.front();
    return problem + " (first: " + first + ")";
}

} // namespace vserver::loadgen::morning
