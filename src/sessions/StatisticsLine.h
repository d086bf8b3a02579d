#pragma once
// The layout of one line of the usage statistics file, in one place for the server that writes
// it and the tools that read it: local date (MM/DD/YY), local time (HH:MM:SS), account, session
// label, event and detail, joined by TAB and ended by CR LF. Fields are written as they are,
// so a TAB or a line break inside one lands in the file unchanged; the reader says which lines
// it cannot take apart rather than guess.

#include <string>
#include <string_view>

#include "platform/Clock.h"

namespace vserver::sessions {

inline constexpr std::string_view kLogonEvent = "101";
inline constexpr std::string_view kLogoffEvent = "103";

// Appends one line, its CR LF included.
void AppendStatisticsLine(std::string& text, const platform::LocalTime& when, std::string_view account,
                          std::string_view label, std::string_view event, std::string_view detail);

// One line taken apart. The views point into the line that was read.
struct StatisticsLine {
    platform::LocalTime when;   // the year in full: 69 to 99 are 1969 to 1999, 00 to 68 are 2000 to 2068
    std::string_view account;
    std::string_view label;
    std::string_view event;
    std::string_view detail;    // everything after the fifth TAB, TABs included
};

enum class LineProblem {
    None,
    NoDate,              // the line does not begin with a date MM/DD/YY and a TAB
    NoTime,              // no time HH:MM:SS and a TAB after the date
    TooFewColumns,       // fewer than six columns
    TabInAccountOrLabel, // a logon or logoff line with a TAB in its account or label
};

// Takes apart one line given without its line end. A logon or logoff line always has an empty
// detail, so one with more columns than six has a TAB in its account or label, and which of
// the two holds it cannot be told.
LineProblem ParseStatisticsLine(std::string_view line, StatisticsLine& out);

// The problem in words, for a person ("no date at the start").
const char* DescribeLineProblem(LineProblem problem);

} // namespace vserver::sessions
