#include "vserverctl/UsageTables.h"

#include <algorithm>

#include "formats/TextCase.h"
#include "vserverctl/Report.h"
#include "vserverctl/TextForms.h"

namespace vserver::ctl {

namespace {

using Rows = std::vector<std::vector<std::string>>;

// How cells are written: for a person, or for a spreadsheet (numbers as numbers, names whole).
enum class Form { Text, Csv };

std::string Name(Form form, std::string_view raw) {
    if (form == Form::Csv) return Utf8FromCodePage(raw);
    return raw.empty() ? "-" : DisplayText(raw);
}

std::string Minutes(Form form, long long seconds) {
    return form == Form::Csv ? std::to_string(seconds / 60) : HoursAndMinutes(seconds);
}

std::string When(Form form, CivilSeconds at) {
    if (at == kNever) return form == Form::Csv ? "" : "-";
    const std::string full = IsoDateTime(at);
    return form == Form::Csv ? full : full.substr(0, 16);
}

std::string Median(Form form, const AccountUsage& usage) {
    const long long median = usage.MedianMinutes();
    if (median < 0) return form == Form::Csv ? "" : "-";
    return Minutes(form, median * 60);
}

template <typename T>
bool ByName(const T* a, const T* b) {
    return platform::UpperCase(a->name) < platform::UpperCase(b->name);
}

Rows AccountRows(const UsageTally& tally, Form form) {
    Rows rows{form == Form::Csv ? std::vector<std::string>{"account", "sessions", "open", "total_minutes", "median_minutes",
                                                           "first_seen", "last_seen", "workstations", "events"}
                                : std::vector<std::string>{"ACCOUNT", "SESSIONS", "OPEN", "TOTAL", "MEDIAN",
                                                           "FIRST SEEN", "LAST SEEN", "WORKSTATIONS", "EVENTS"}};
    for (const AccountUsage* a : SeenAccounts(tally)) {
        rows.push_back({Name(form, a->name), std::to_string(a->sessions), std::to_string(a->openSessions),
                        Minutes(form, a->seconds), Median(form, *a), When(form, a->firstSeen), When(form, a->lastSeen),
                        std::to_string(a->workstations.Count()), std::to_string(a->events)});
    }
    return rows;
}

Rows WorkstationRows(const UsageTally& tally, Form form) {
    Rows rows{form == Form::Csv
                  ? std::vector<std::string>{"workstation", "sessions", "open", "total_minutes", "accounts"}
                  : std::vector<std::string>{"WORKSTATION", "SESSIONS", "OPEN", "TOTAL", "ACCOUNTS"}};
    for (const WorkstationUsage* w : SeenWorkstations(tally)) {
        rows.push_back({Name(form, w->name), std::to_string(w->sessions), std::to_string(w->openSessions),
                        Minutes(form, w->seconds), std::to_string(w->accounts.Count())});
    }
    return rows;
}

Rows DayRows(const UsageTally& tally, Form form) {
    Rows rows{form == Form::Csv ? std::vector<std::string>{"day", "sessions", "most_at_once", "events"}
                                : std::vector<std::string>{"DAY", "SESSIONS", "MOST AT ONCE", "EVENTS"}};
    for (const auto& [day, usage] : tally.days()) {
        rows.push_back({IsoDate(day), std::to_string(usage.sessions), std::to_string(usage.mostAtOnce),
                        std::to_string(usage.events)});
    }
    return rows;
}

Rows HourRows(const UsageTally& tally, Form form) {
    Rows rows{form == Form::Csv ? std::vector<std::string>{"hour", "sessions", "most_at_once"}
                                : std::vector<std::string>{"HOUR", "SESSIONS", "MOST AT ONCE"}};
    for (std::size_t hour = 0; hour < tally.hours().size(); ++hour) {
        const HourUsage& usage = tally.hours()[hour];
        // A person reads the hours that had something; a spreadsheet gets every hour.
        if (form == Form::Text && usage.sessions == 0 && usage.mostAtOnce == 0) continue;
        char name[32];
        std::snprintf(name, sizeof name, "%02zu:00", hour);
        rows.push_back({name, std::to_string(usage.sessions), std::to_string(usage.mostAtOnce)});
    }
    return rows;
}

Rows EventRows(const UsageTally& tally, Form form) {
    Rows rows{form == Form::Csv ? std::vector<std::string>{"event", "count", "accounts"}
                                : std::vector<std::string>{"EVENT", "COUNT", "ACCOUNTS"}};
    for (const EventUsage* e : EventsByCount(tally)) {
        rows.push_back({Name(form, e->code), std::to_string(e->count), std::to_string(e->accounts.Count())});
    }
    return rows;
}

Rows UnreadableRows(const UsageTally& tally, Form form) {
    Rows rows{form == Form::Csv ? std::vector<std::string>{"file", "line", "reason"}
                                : std::vector<std::string>{"FILE", "LINE", "REASON"}};
    for (const UnreadableLine& line : tally.unreadable()) rows.push_back({line.source, std::to_string(line.line), line.reason});
    return rows;
}

Rows TableRows(const UsageTally& tally, std::string_view table, Form form) {
    if (table == "workstations") return WorkstationRows(tally, form);
    if (table == "days") return DayRows(tally, form);
    if (table == "hours") return HourRows(tally, form);
    if (table == "events") return EventRows(tally, form);
    if (table == "unreadable") return UnreadableRows(tally, form);
    return AccountRows(tally, form);
}

void AddSummary(Report& report, const UsageTally& tally, const std::vector<std::string>& sources) {
    const UsageTotals& t = tally.totals();
    std::string files;
    for (const std::string& source : sources) files += (files.empty() ? "" : ", ") + source;
    report.Line("Usage " + PeriodText(tally) + " (" + files + ")");
    report.Line("Lines: " + Grouped(t.lines) + " read, " + Grouped(t.linesInPeriod) + " in the period, " +
                Grouped(t.unreadable) + " unreadable" +
                (t.continued > 0 ? ", " + Grouped(t.continued) + " carrying on an event's detail" : ""));
    report.Line("Sessions: " + Grouped(t.sessions) + " ended, " + Grouped(t.seconds / 3600) + " h " +
                std::to_string(t.seconds / 60 % 60) + " min in all; " +
                Grouped(t.openSessions) + " open (no end in the file); " + Grouped(t.endsWithoutLogon) +
                " ends without a logon");
    report.Line("Most at once: " + std::to_string(t.mostAtOnce) +
                (t.mostAtOnceAt == kNever ? "" : ", first at " + IsoDateTime(t.mostAtOnceAt).substr(0, 16)));
    report.Line("Client events: " + Grouped(t.events));
}

} // namespace

std::vector<const AccountUsage*> SeenAccounts(const UsageTally& tally) {
    std::vector<const AccountUsage*> seen;
    for (const AccountUsage& usage : tally.accounts()) {
        if (usage.Seen()) seen.push_back(&usage);
    }
    std::stable_sort(seen.begin(), seen.end(), ByName<AccountUsage>);
    return seen;
}

std::vector<const WorkstationUsage*> SeenWorkstations(const UsageTally& tally) {
    std::vector<const WorkstationUsage*> seen;
    for (const WorkstationUsage& usage : tally.workstations()) {
        if (usage.seen) seen.push_back(&usage);
    }
    std::stable_sort(seen.begin(), seen.end(), ByName<WorkstationUsage>);
    return seen;
}

std::vector<const EventUsage*> EventsByCount(const UsageTally& tally) {
    std::vector<const EventUsage*> events;
    for (const EventUsage& usage : tally.events()) events.push_back(&usage);
    std::stable_sort(events.begin(), events.end(), [](const EventUsage* a, const EventUsage* b) {
        return a->count != b->count ? a->count > b->count : a->code < b->code;
    });
    return events;
}

std::string PeriodText(const UsageTally& tally) {
    const ReportPeriod& period = tally.period();
    const UsageTotals& t = tally.totals();
    auto end = [](long long limit, CivilSeconds seen, long long none) {
        if (limit != none) return IsoDate(limit);
        return seen == kNever ? std::string("-") : IsoDate(seen / 86400 - (seen % 86400 < 0 ? 1 : 0));
    };
    return end(period.firstDay, t.first, LLONG_MIN) + " to " + end(period.lastDay, t.last, LLONG_MAX);
}

std::vector<std::vector<std::string>> UsageTableRows(const UsageTally& tally, std::string_view table) {
    return TableRows(tally, table, Form::Text);
}

void AddUsageText(Report& report, const UsageTally& tally, const std::vector<std::string>& sources) {
    AddSummary(report, tally, sources);
    const std::pair<const char*, std::string_view> sections[] = {
        {"Accounts", "accounts"}, {"Workstations", "workstations"}, {"Days", "days"},
        {"Hours of the day", "hours"}, {"Client events", "events"}, {"Unreadable lines (the first ten)", "unreadable"},
    };
    for (const auto& [title, table] : sections) {
        Rows rows = TableRows(tally, table, Form::Text);
        if (rows.size() == 1) continue;
        report.Line("");
        report.Line(title);
        AddTable(report, rows);
    }
}

void AddUsageCsv(Report& report, const UsageTally& tally, std::string_view table) {
    for (const auto& row : TableRows(tally, table, Form::Csv)) {
        std::string line;
        for (std::size_t i = 0; i < row.size(); ++i) {
            if (i > 0) line += ',';
            line += CsvCell(row[i]);
        }
        report.Line(std::move(line));
    }
}

} // namespace vserver::ctl
