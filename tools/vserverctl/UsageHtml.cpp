#include "vserverctl/UsageHtml.h"

#include <algorithm>
#include <cstdio>

#include "vserverctl/TextForms.h"
#include "vserverctl/UsageCharts.h"
#include "vserverctl/UsageTables.h"

namespace vserver::ctl {

namespace {

// Longer spans are drawn with the days that had something only, not a bar for every day.
constexpr long long kLongestDayAxis = 400;
constexpr std::size_t kTopRows = 20;

constexpr const char* kStyle =
    "body{font-family:sans-serif;margin:2em;max-width:60em;color:#222}"
    "h1{font-size:1.5em}h2{font-size:1.2em;margin-top:2em}"
    "figure{margin:1.5em 0;break-inside:avoid}figcaption{margin-top:.4em;color:#444}"
    "table{border-collapse:collapse;margin:.5em 0}th,td{padding:.15em .6em;border-bottom:1px solid #ddd;text-align:left}"
    "td.n,th.n{text-align:right}svg{max-width:100%;height:auto}"
    "@media print{body{margin:0}h2{break-after:avoid}tr{break-inside:avoid}}";

std::string Hours(long long seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", static_cast<double>(seconds) / 3600.0);
    return text;
}

Chart DayChart(const UsageTally& tally) {
    Chart chart{"Sessions per day", "How many sessions began on each day of the period.", "sessions", true, {}};
    const auto& days = tally.days();
    if (days.empty()) return chart;
    const long long first = days.begin()->first;
    const long long last = days.rbegin()->first;
    auto add = [&chart](long long day, const DayUsage& usage) {
        const std::string date = IsoDate(day);
        chart.bars.push_back({date.substr(5), static_cast<double>(usage.sessions),
                              date + ": " + Counted(usage.sessions, "session", "sessions") + ", at most " +
                                  std::to_string(usage.mostAtOnce) + " at once"});
    };
    if (last - first > kLongestDayAxis) {
        for (const auto& [day, usage] : days) add(day, usage);
        return chart;
    }
    // Every day of the span gets its bar, so quiet days (weekends, holidays) show as gaps.
    for (long long day = first; day <= last; ++day) {
        auto found = days.find(day);
        add(day, found == days.end() ? DayUsage{} : found->second);
    }
    return chart;
}

Chart HourChart(const UsageTally& tally) {
    Chart chart{"People at once over the hours of a day",
                "For each hour of the day, the most people logged on at the same time in that hour, on any day of the "
                "period.",
                "people", true, {}};
    for (std::size_t hour = 0; hour < tally.hours().size(); ++hour) {
        const HourUsage& usage = tally.hours()[hour];
        char label[24];
        std::snprintf(label, sizeof label, "%02zu", hour);
        chart.bars.push_back({label, static_cast<double>(usage.mostAtOnce),
                              std::string(label) + ":00 to " + std::to_string(hour + 1) + ":00: at most " +
                                  std::to_string(usage.mostAtOnce) + " at once, " +
                                  Counted(usage.sessions, "session", "sessions") + " began"});
    }
    return chart;
}

template <typename T>
Chart TimeChart(Chart chart, std::vector<const T*> rows) {
    std::stable_sort(rows.begin(), rows.end(), [](const T* a, const T* b) { return a->seconds > b->seconds; });
    for (const T* row : rows) {
        if (chart.bars.size() == kTopRows || row->seconds == 0) break;
        const std::string name = DisplayText(row->name);
        chart.bars.push_back({name, static_cast<double>(row->seconds) / 3600.0,
                              name + ": " + Hours(row->seconds) + " hours in " +
                                  Counted(row->sessions, "session", "sessions")});
    }
    return chart;
}

std::string Figure(const std::string& svg, const std::string& caption) {
    return "<figure>\n" + svg + "<figcaption>" + HtmlEscape(caption) + "</figcaption>\n</figure>\n";
}

std::string Summary(const UsageTally& tally) {
    const UsageTotals& t = tally.totals();
    std::string text = "In this period " + Counted(static_cast<long long>(SeenAccounts(tally).size()), "account", "accounts") +
                       " had " + Counted(t.sessions, "ended session", "ended sessions") + " on " +
                       Counted(static_cast<long long>(SeenWorkstations(tally).size()), "workstation", "workstations") +
                       ", " + Hours(t.seconds) + " hours in all.";
    if (t.mostAtOnceAt != kNever) {
        text += " At most " + std::to_string(t.mostAtOnce) + " people were logged on at once, first on " +
                IsoDateTime(t.mostAtOnceAt).substr(0, 10) + " at " + IsoDateTime(t.mostAtOnceAt).substr(11, 5) + ".";
    }
    auto busiest = std::max_element(tally.days().begin(), tally.days().end(),
                                    [](const auto& a, const auto& b) { return a.second.sessions < b.second.sessions; });
    if (busiest != tally.days().end() && busiest->second.sessions > 0) {
        text += " The busiest day was " + IsoDate(busiest->first) + " with " +
                Counted(busiest->second.sessions, "session", "sessions") + ".";
    }
    std::string html = "<p>" + HtmlEscape(text) + "</p>\n";
    std::string caveats;
    if (t.openSessions > 0) {
        caveats += Counted(t.openSessions, "session has", "sessions have") +
                   " no end in the file (the server stopped or the file was cut): counted as open, and left out of the "
                   "times and of the people at once. ";
    }
    if (t.unreadable > 0) {
        caveats += Counted(t.unreadable, "line", "lines") + " could not be read; the last table lists the first ten. ";
    }
    if (!caveats.empty()) html += "<p>" + HtmlEscape(caveats) + "</p>\n";
    return html;
}

std::string Table(const UsageTally& tally, std::string_view table, const std::string& title) {
    const auto rows = UsageTableRows(tally, table);
    if (rows.size() <= 1) return {};
    std::string html = "<h2>" + HtmlEscape(title) + "</h2>\n<table>\n";
    for (std::size_t r = 0; r < rows.size(); ++r) {
        html += "<tr>";
        for (std::size_t c = 0; c < rows[r].size(); ++c) {
            const char* cell = r == 0 ? "th" : "td";
            html += std::string("<") + cell + (c > 0 ? " class=\"n\"" : "") + ">" + HtmlEscape(rows[r][c]) + "</" + cell + ">";
        }
        html += "</tr>\n";
    }
    return html + "</table>\n";
}

std::string Charts(const UsageTally& tally) {
    return Figure(ColumnChartSvg(DayChart(tally)),
                  "Sessions per day: each bar is one day, its height the number of sessions that began that day. A "
                  "session is one logon of an account on a workstation until its logoff.") +
           Figure(ColumnChartSvg(HourChart(tally)),
                  "People at once over the hours of a day: each bar is one hour of the day (08 is 08:00 to 09:00), its "
                  "height the most people logged on at the same time in that hour on any day.") +
           Figure(RowChartSvg(TimeChart(Chart{"Time per account", "The accounts with the most time logged on, top 20.",
                                              "h", false, {}},
                                        SeenAccounts(tally))),
                  "Time per account: the 20 accounts with the most time logged on, in hours of ended sessions.") +
           Figure(RowChartSvg(TimeChart(Chart{"Workstations in use", "The workstations in use the longest, top 20.",
                                              "h", false, {}},
                                        SeenWorkstations(tally))),
                  "Workstations in use: how many hours each workstation (session label) was in use, the 20 used the "
                  "longest. Workstations that are not listed had no session in this period.");
}

} // namespace

std::string UsageHtmlPage(const UsageTally& tally, const std::vector<std::string>& sources) {
    std::string files;
    for (const std::string& source : sources) files += (files.empty() ? "" : ", ") + source;
    const std::string title = "Usage " + PeriodText(tally);
    std::string html = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>" +
                       HtmlEscape(title) + "</title>\n<style>" + kStyle + "</style>\n</head>\n<body>\n<h1>" +
                       HtmlEscape(title) + "</h1>\n<p>From " + HtmlEscape(files) + ".</p>\n";
    html += Summary(tally) + Charts(tally);
    const std::pair<std::string_view, const char*> tables[] = {
        {"accounts", "Accounts"}, {"workstations", "Workstations"}, {"days", "Days"},
        {"hours", "Hours of the day"}, {"events", "Client events"}, {"unreadable", "Unreadable lines (the first ten)"},
    };
    for (const auto& [table, tableTitle] : tables) html += Table(tally, table, tableTitle);
    return html + "</body>\n</html>\n";
}

} // namespace vserver::ctl
