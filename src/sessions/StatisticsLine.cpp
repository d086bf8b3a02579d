#include "sessions/StatisticsLine.h"

namespace vserver::sessions {

namespace {

constexpr char kColumnSeparator = '\t';
constexpr std::string_view kLineEnd = "\r\n";

// Two digits at text[at], as a number; -1 when they are not digits.
int TwoDigits(std::string_view text, std::size_t at) {
    if (at + 2 > text.size()) return -1;
    const char high = text[at];
    const char low = text[at + 1];
    if (high < '0' || high > '9' || low < '0' || low > '9') return -1;
    return (high - '0') * 10 + (low - '0');
}

// "NN?NN?NN" followed by a TAB, with separator in both places; the three numbers, or false.
bool ThreeNumbers(std::string_view text, std::size_t at, char separator, int (&numbers)[3]) {
    if (at + 9 > text.size() || text[at + 2] != separator || text[at + 5] != separator ||
        text[at + 8] != kColumnSeparator) {
        return false;
    }
    for (int i = 0; i < 3; ++i) {
        numbers[i] = TwoDigits(text, at + 3 * static_cast<std::size_t>(i));
        if (numbers[i] < 0) return false;
    }
    return true;
}

bool ReadDate(std::string_view line, platform::LocalTime& when) {
    int date[3];
    if (!ThreeNumbers(line, 0, '/', date) || date[0] < 1 || date[0] > 12 || date[1] < 1 || date[1] > 31) return false;
    when.month = static_cast<std::uint16_t>(date[0]);
    when.day = static_cast<std::uint16_t>(date[1]);
    when.year = static_cast<std::uint16_t>(date[2] >= 69 ? 1900 + date[2] : 2000 + date[2]);
    return true;
}

bool ReadTime(std::string_view line, platform::LocalTime& when) {
    int time[3];
    if (!ThreeNumbers(line, 9, ':', time) || time[0] > 23 || time[1] > 59 || time[2] > 60) return false;
    when.hour = static_cast<std::uint16_t>(time[0]);
    when.minute = static_cast<std::uint16_t>(time[1]);
    when.second = static_cast<std::uint16_t>(time[2]);
    return true;
}

// The next column of rest, which loses it and its separator; false when no separator follows.
bool NextColumn(std::string_view& rest, std::string_view& column) {
    const std::size_t tab = rest.find(kColumnSeparator);
    if (tab == std::string_view::npos) return false;
    column = rest.substr(0, tab);
    rest.remove_prefix(tab + 1);
    return true;
}

} // namespace

void AppendStatisticsLine(std::string& text, const platform::LocalTime& when, std::string_view account,
                          std::string_view label, std::string_view event, std::string_view detail) {
    text += platform::FormatDate(when);
    text += kColumnSeparator;
    text += platform::FormatTime(when);
    for (std::string_view column : {account, label, event, detail}) {
        text += kColumnSeparator;
        text += column;
    }
    text += kLineEnd;
}

LineProblem ParseStatisticsLine(std::string_view line, StatisticsLine& out) {
    out = StatisticsLine{};
    if (!ReadDate(line, out.when)) return LineProblem::NoDate;
    if (!ReadTime(line, out.when)) return LineProblem::NoTime;
    std::string_view rest = line.substr(18);
    if (!NextColumn(rest, out.account) || !NextColumn(rest, out.label) || !NextColumn(rest, out.event)) {
        return LineProblem::TooFewColumns;
    }
    out.detail = rest;
    const bool sessionEvent = out.event == kLogonEvent || out.event == kLogoffEvent;
    // The server writes its own events with an empty detail: more columns mean the account or
    // the label held a TAB, which moved the event to the right.
    const std::size_t lastTab = rest.rfind(kColumnSeparator);
    if (!sessionEvent && lastTab != std::string_view::npos && lastTab + 1 == rest.size()) {
        const std::string_view beforeLast = rest.substr(0, lastTab);
        const std::string_view shifted = beforeLast.substr(beforeLast.rfind(kColumnSeparator) + 1);
        if (shifted == kLogonEvent || shifted == kLogoffEvent) return LineProblem::TabInAccountOrLabel;
    }
    return LineProblem::None;
}

const char* DescribeLineProblem(LineProblem problem) {
    switch (problem) {
    case LineProblem::None: return "none";
    case LineProblem::NoDate: return "no date MM/DD/YY at the start";
    case LineProblem::NoTime: return "no time HH:MM:SS after the date";
    case LineProblem::TooFewColumns: return "fewer than six columns";
    case LineProblem::TabInAccountOrLabel: return "a TAB inside the account or the label of a logon or logoff";
    }
    return "unknown";
}

} // namespace vserver::sessions
