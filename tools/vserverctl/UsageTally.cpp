#include "vserverctl/UsageTally.h"

#include <algorithm>
#include <bit>

namespace vserver::ctl {

namespace {

constexpr long long kSecondsPerDay = 86400;
constexpr int kMinutesPerDay = 1440;
// A line held for its continuation may grow to this; past it the line is unreadable.
constexpr std::size_t kLongestHeldLine = 64 * 1024;

long long DayOf(CivilSeconds at) { return at / kSecondsPerDay - (at % kSecondsPerDay < 0 ? 1 : 0); }

CivilSeconds SecondsOf(const platform::LocalTime& when) {
    return DayNumber(when.year, when.month, when.day) * kSecondsPerDay + when.hour * 3600LL + when.minute * 60LL +
           when.second;
}

std::uint64_t SessionKey(int account, int workstation) {
    return static_cast<std::uint64_t>(account) << 32 | static_cast<std::uint32_t>(workstation);
}

void Extend(CivilSeconds& first, CivilSeconds& last, CivilSeconds at) {
    if (first == kNever || at < first) first = at;
    if (last == kNever || at > last) last = at;
}

} // namespace

void IdSet::Insert(int id) {
    const auto word = static_cast<std::size_t>(id) / 64;
    if (bits_.size() <= word) bits_.resize(word + 1, 0);
    bits_[word] |= std::uint64_t{1} << (id % 64);
}

int IdSet::Count() const {
    int count = 0;
    for (std::uint64_t word : bits_) count += std::popcount(word);
    return count;
}

long long AccountUsage::MedianMinutes() const {
    if (sessions == 0) return -1;
    // The lower middle one for an even count, so the median is a length that occurred.
    long long rank = (sessions + 1) / 2;
    for (std::size_t minute = 0; minute < minutes.size(); ++minute) {
        rank -= minutes[minute];
        if (rank <= 0) return static_cast<long long>(minute);
    }
    return static_cast<long long>(minutes.size()) - 1;
}

// The id of name in entries, a new entry at the end when it is not there yet.
template <typename Index, typename Entry>
int Intern(Index& ids, std::vector<Entry>& entries, std::string_view name) {
    auto found = ids.find(name);
    if (found != ids.end()) return found->second;
    const int id = static_cast<int>(entries.size());
    entries.emplace_back().name = std::string(name);
    ids.emplace(std::string(name), id);
    return id;
}

int UsageTally::AccountId(std::string_view name) { return Intern(accountIds_, accounts_, name); }

int UsageTally::WorkstationId(std::string_view name) { return Intern(workstationIds_, workstations_, name); }

void UsageTally::AddUnreadable(std::string_view source, long long number, std::string reason) {
    ++totals_.unreadable;
    if (unreadable_.size() < kUnreadableShown) unreadable_.push_back({std::string(source), number, std::move(reason)});
}

void UsageTally::ReleaseHeld() {
    if (!held_) return;
    AddUnreadable(held_->source, held_->number, sessions::DescribeLineProblem(sessions::LineProblem::TooFewColumns));
    held_.reset();
}

// A line break inside a field cuts a line in two: the first part has a date and too few
// columns, the second no date. Such parts are joined; an undated line after a client event
// carries on that event's detail, the last column, and is counted apart. Anything else that
// cannot be read is listed, never dropped unseen.
void UsageTally::AddLine(std::string_view line, std::string_view source, long long number) {
    // A record file ends in one NUL, which the next append overwrites; files put together
    // from copies hold it where one ended.
    while (!line.empty() && line.front() == '\0') line.remove_prefix(1);
    if (line.empty()) return;
    ++totals_.lines;
    if (held_) {
        sessions::StatisticsLine parsed;
        if (sessions::ParseStatisticsLine(line, parsed) == sessions::LineProblem::NoDate &&
            held_->text.size() + line.size() < kLongestHeldLine) {
            HeldLine joined = std::move(*held_);
            held_.reset();
            joined.text.append("\n").append(line);
            TakeLine(joined.text, joined.source, joined.number);
            return;
        }
        ReleaseHeld();
    }
    TakeLine(line, source, number);
}

void UsageTally::TakeLine(std::string_view line, std::string_view source, long long number) {
    sessions::StatisticsLine parsed;
    const sessions::LineProblem problem = sessions::ParseStatisticsLine(line, parsed);
    if (problem == sessions::LineProblem::None) {
        Count(parsed);
        return;
    }
    if (problem == sessions::LineProblem::TooFewColumns && line.size() < kLongestHeldLine) {
        held_ = HeldLine{std::string(line), std::string(source), number};
        lastWasClientEvent_ = false;
        return;
    }
    if (problem == sessions::LineProblem::NoDate && lastWasClientEvent_) {
        ++totals_.continued;
        return;
    }
    lastWasClientEvent_ = false;
    AddUnreadable(source, number, sessions::DescribeLineProblem(problem));
}

void UsageTally::Count(const sessions::StatisticsLine& line) {
    const CivilSeconds at = SecondsOf(line.when);
    const long long day = DayOf(at);
    const bool inPeriod = period_.Contains(day);
    const bool logon = line.event == sessions::kLogonEvent;
    const bool logoff = line.event == sessions::kLogoffEvent;
    lastWasClientEvent_ = !logon && !logoff;
    // Lines before the period still begin the sessions that end in it; lines after it are
    // only read for the sessions that began in it.
    if (!inPeriod && lastWasClientEvent_) return;
    const int account = AccountId(line.account);
    if (inPeriod) {
        ++totals_.linesInPeriod;
        Extend(totals_.first, totals_.last, at);
        Extend(accounts_[account].firstSeen, accounts_[account].lastSeen, at);
    }
    if (lastWasClientEvent_) {
        ClientEvent(account, line.event, day);
        return;
    }
    const int workstation = WorkstationId(line.label);
    if (inPeriod) workstations_[workstation].seen = true;
    if (logon) Logon(account, workstation, at, inPeriod);
    else Logoff(account, workstation, at, inPeriod);
}

void UsageTally::CountOpen(std::uint64_t key) {
    const auto account = static_cast<int>(key >> 32);
    const auto workstation = static_cast<int>(key & 0xFFFFFFFFu);
    ++accounts_[account].openSessions;
    ++workstations_[workstation].openSessions;
    ++totals_.openSessions;
}

void UsageTally::Logon(int account, int workstation, CivilSeconds at, bool inPeriod) {
    const std::uint64_t key = SessionKey(account, workstation);
    auto [open, fresh] = open_.try_emplace(key);
    // Another logon of the account on this label came first: the earlier one's end is missing.
    if (!fresh && open->second.inPeriod) CountOpen(key);
    open->second = OpenSession{at, inPeriod};
    if (!inPeriod) return;
    const long long day = DayOf(at);
    ++days_[day].sessions;
    ++hours_[static_cast<std::size_t>((at - day * kSecondsPerDay) / 3600)].sessions;
    accounts_[account].workstations.Insert(workstation);
    workstations_[workstation].accounts.Insert(account);
}

void UsageTally::Logoff(int account, int workstation, CivilSeconds at, bool inPeriod) {
    auto open = open_.find(SessionKey(account, workstation));
    if (open == open_.end()) {
        if (inPeriod) ++totals_.endsWithoutLogon;
        return;
    }
    const OpenSession session = open->second;
    open_.erase(open);
    // A clock set back between the two lines gives no length rather than a negative one.
    const CivilSeconds length = std::max<CivilSeconds>(0, at - session.start);
    AddRunningTime(session.start, session.start + length);
    if (!session.inPeriod) return;
    AccountUsage& usage = accounts_[account];
    const auto minutes = static_cast<std::size_t>(std::min<CivilSeconds>(length / 60, kMinutesPerDay));
    if (usage.minutes.size() <= minutes) usage.minutes.resize(minutes + 1, 0);
    ++usage.minutes[minutes];
    for (SessionFigures* figures : {static_cast<SessionFigures*>(&usage),
                                    static_cast<SessionFigures*>(&workstations_[workstation]),
                                    static_cast<SessionFigures*>(&totals_)}) {
        ++figures->sessions;
        figures->seconds += length;
    }
}

void UsageTally::ClientEvent(int account, std::string_view code, long long day) {
    ++accounts_[account].events;
    ++totals_.events;
    ++days_[day].events;
    auto found = eventIds_.find(code);
    if (found == eventIds_.end()) {
        found = eventIds_.emplace(std::string(code), static_cast<int>(events_.size())).first;
        events_.emplace_back().code = std::string(code);
    }
    EventUsage& usage = events_[static_cast<std::size_t>(found->second)];
    ++usage.count;
    usage.accounts.Insert(account);
}

// The session runs in every minute from the one it began in up to the one it ended in; a
// session shorter than a minute still counts in its minute.
void UsageTally::AddRunningTime(CivilSeconds start, CivilSeconds end) {
    const long long firstMinute = start / 60 - (start % 60 < 0 ? 1 : 0);
    const long long endMinute = std::max(firstMinute + 1, end / 60 + (end % 60 > 0 ? 1 : 0));
    for (auto [minute, change] : {std::pair{firstMinute, 1}, std::pair{endMinute, -1}}) {
        const long long day = minute / kMinutesPerDay - (minute % kMinutesPerDay < 0 ? 1 : 0);
        std::vector<int>& changes = runningChanges_[day];
        if (changes.empty()) changes.resize(kMinutesPerDay, 0);
        changes[static_cast<std::size_t>(minute - day * kMinutesPerDay)] += change;
    }
}

void UsageTally::Finish() {
    ReleaseHeld();
    for (const auto& [key, session] : open_) {
        if (session.inPeriod) CountOpen(key);
    }
    open_.clear();
    CountPeopleAtOnce();
}

void UsageTally::NoteAtOnce(long long day, int hour, int running, CivilSeconds at) {
    DayUsage& usage = days_[day];
    usage.mostAtOnce = std::max(usage.mostAtOnce, running);
    HourUsage& hourUsage = hours_[static_cast<std::size_t>(hour)];
    hourUsage.mostAtOnce = std::max(hourUsage.mostAtOnce, running);
    if (running > totals_.mostAtOnce) {
        totals_.mostAtOnce = running;
        totals_.mostAtOnceAt = at;
    }
}

// Walks the minutes of the days with changes in order, carrying the number running from one
// day to the next; the days between two such days had that number running all day long.
void UsageTally::CountPeopleAtOnce() {
    int running = 0;
    long long previousDay = 0;
    bool started = false;
    for (const auto& [day, changes] : runningChanges_) {
        for (long long steady = started && running > 0 ? previousDay + 1 : day; steady < day; ++steady) {
            if (!period_.Contains(steady)) continue;
            for (int hour = 0; hour < 24; ++hour) NoteAtOnce(steady, hour, running, steady * kSecondsPerDay);
        }
        std::array<int, 24> mostInHour{};
        for (int minute = 0; minute < kMinutesPerDay; ++minute) {
            running += changes[static_cast<std::size_t>(minute)];
            int& most = mostInHour[static_cast<std::size_t>(minute / 60)];
            if (running <= most) continue;
            most = running;
            if (period_.Contains(day)) NoteAtOnce(day, minute / 60, running, day * kSecondsPerDay + minute * 60LL);
        }
        previousDay = day;
        started = true;
    }
    runningChanges_.clear();
}

} // namespace vserver::ctl
