#pragma once
// The figures of the usage report, gathered line by line from statistics files: sessions paired
// from logons and logoffs, per account, per workstation (the session label), per day, per hour
// of the day, and the client events. It keeps one entry per account, workstation, day and
// event code, never the lines, so its memory does not grow with the length of the files.
//
// A session is a logon (101) and the next logoff or disconnect (103) of the same account with
// the same label; a change of user writes both for one label and so ends one session and
// begins the next. A logon without its end (the server stopped, the file was cut, or another
// logon of the account on that label came first) is counted as open and never given a length.

#include <array>
#include <climits>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "sessions/StatisticsLine.h"

namespace vserver::ctl {

// A local date and time as the file writes it, as seconds since 1970-01-01 00:00 of the same
// clock: no time zone, so a day is always 86400 seconds.
using CivilSeconds = long long;
// No such time (nothing seen yet).
inline constexpr CivilSeconds kNever = LLONG_MIN;

// Days since 1970-01-01 of a date in the proleptic Gregorian calendar.
long long DayNumber(int year, int month, int day);
// "2008-01-31".
std::string IsoDate(long long day);
// "2008-01-31 09:05:03".
std::string IsoDateTime(CivilSeconds at);
// A date given on the command line: YYYY-MM-DD, or MM/DD/YY as the file writes it.
std::optional<long long> ParseReportDate(std::string_view text);

struct ReportPeriod {
    long long firstDay = LLONG_MIN;
    long long lastDay = LLONG_MAX;
    bool Contains(long long day) const { return day >= firstDay && day <= lastDay; }
};

// A set of small numbers (the ids of accounts or workstations) as bits.
class IdSet {
public:
    void Insert(int id);
    int Count() const;

private:
    std::vector<std::uint64_t> bits_;
};

struct SessionFigures {
    long long sessions = 0;       // ended sessions that began in the period
    long long openSessions = 0;   // sessions that began in the period and have no end
    long long seconds = 0;        // the length of the ended ones together
};

struct AccountUsage : SessionFigures {
    std::string name;   // as the file holds it, in the code page
    // Ended sessions by their length in whole minutes; the last slot holds a day or more.
    std::vector<std::uint32_t> minutes;
    CivilSeconds firstSeen = kNever;   // the account's first and last line in the period
    CivilSeconds lastSeen = kNever;
    IdSet workstations;
    long long events = 0;          // client events

    // The median length of the ended sessions in whole minutes; -1 without any.
    long long MedianMinutes() const;
    bool Seen() const { return firstSeen != kNever; }
};

struct WorkstationUsage : SessionFigures {
    std::string name;
    IdSet accounts;
    bool seen = false;
};

struct DayUsage {
    long long sessions = 0;   // begun that day
    long long events = 0;
    int mostAtOnce = 0;       // the most ended sessions that ran in one minute of the day
};

struct HourUsage {
    long long sessions = 0;   // begun in that hour, on any day of the period
    int mostAtOnce = 0;       // the most at once in that hour, on any day of the period
};

struct EventUsage {
    std::string code;
    long long count = 0;
    IdSet accounts;
};

struct UnreadableLine {
    std::string source;
    long long line = 0;
    std::string reason;
};

struct UsageTotals : SessionFigures {
    long long lines = 0;            // every line read, blank ones left out
    long long linesInPeriod = 0;
    long long unreadable = 0;
    long long continued = 0;        // lines that carry on the detail of the line before
    long long endsWithoutLogon = 0; // logoffs in the period with no logon before them
    long long events = 0;
    CivilSeconds first = kNever;    // the first and last line in the period
    CivilSeconds last = kNever;
    int mostAtOnce = 0;
    CivilSeconds mostAtOnceAt = kNever; // the first minute it was reached
};

class UsageTally {
public:
    static constexpr std::size_t kUnreadableShown = 10;

    explicit UsageTally(ReportPeriod period) : period_(period) {}

    // One line of source (numbered from 1), without its line end.
    void AddLine(std::string_view line, std::string_view source, long long number);
    // After the last line: what needs every line (open sessions, people at once).
    void Finish();

    const ReportPeriod& period() const { return period_; }
    const UsageTotals& totals() const { return totals_; }
    const std::vector<AccountUsage>& accounts() const { return accounts_; }
    const std::vector<WorkstationUsage>& workstations() const { return workstations_; }
    const std::map<long long, DayUsage>& days() const { return days_; }
    const std::array<HourUsage, 24>& hours() const { return hours_; }
    const std::vector<EventUsage>& events() const { return events_; }
    // The first kUnreadableShown of them; totals().unreadable counts them all.
    const std::vector<UnreadableLine>& unreadable() const { return unreadable_; }

private:
    struct NameHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };
    using NameIndex = std::unordered_map<std::string, int, NameHash, std::equal_to<>>;
    struct OpenSession {
        CivilSeconds start = 0;
        bool inPeriod = false;
    };
    // A dated line whose columns end early, held until the next line tells whether it goes on.
    struct HeldLine {
        std::string text;
        std::string source;
        long long number = 0;
    };

    void TakeLine(std::string_view line, std::string_view source, long long number);
    void Count(const sessions::StatisticsLine& line);
    void Logon(int account, int workstation, CivilSeconds at, bool inPeriod);
    void Logoff(int account, int workstation, CivilSeconds at, bool inPeriod);
    void ClientEvent(int account, std::string_view code, long long day);
    void CountOpen(std::uint64_t key);
    void AddRunningTime(CivilSeconds start, CivilSeconds end);
    void CountPeopleAtOnce();
    void NoteAtOnce(long long day, int hour, int running, CivilSeconds at);
    void AddUnreadable(std::string_view source, long long number, std::string reason);
    void ReleaseHeld();
    int AccountId(std::string_view name);
    int WorkstationId(std::string_view name);

    ReportPeriod period_;
    UsageTotals totals_;
    std::vector<AccountUsage> accounts_;
    std::vector<WorkstationUsage> workstations_;
    NameIndex accountIds_;
    NameIndex workstationIds_;
    std::map<long long, DayUsage> days_;
    std::array<HourUsage, 24> hours_{};
    std::vector<EventUsage> events_;
    NameIndex eventIds_;
    std::vector<UnreadableLine> unreadable_;
    std::unordered_map<std::uint64_t, OpenSession> open_;
    // Per day, +1 at each minute an ended session begins and -1 where it ends.
    std::map<long long, std::vector<int>> runningChanges_;
    std::optional<HeldLine> held_;
    bool lastWasClientEvent_ = false;
};

} // namespace vserver::ctl
