// The usage report's reading and counting: statistics lines as the server writes them, taken
// apart again, paired into sessions and summed per account, workstation, day and hour.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "sessions/StatisticsLine.h"
#include "vserverctl/UsageTally.h"

namespace vserver::ctl {
namespace {

using sessions::LineProblem;

// Feeds lines (each without its line end) to a tally for the period, numbered from 1.
UsageTally Tally(const std::vector<std::string>& lines, ReportPeriod period = {}) {
    UsageTally tally(period);
    long long number = 0;
    for (const std::string& line : lines) tally.AddLine(line, "EventLog.log", ++number);
    tally.Finish();
    return tally;
}

std::string Line(const std::string& date, const std::string& time, const std::string& account,
                 const std::string& label, const std::string& event, const std::string& detail = "") {
    return date + "\t" + time + "\t" + account + "\t" + label + "\t" + event + "\t" + detail;
}

const AccountUsage& Account(const UsageTally& tally, const std::string& name) {
    for (const AccountUsage& usage : tally.accounts()) {
        if (usage.name == name) return usage;
    }
    ADD_FAILURE() << "no account " << name;
    static const AccountUsage none;
    return none;
}

const WorkstationUsage& Workstation(const UsageTally& tally, const std::string& name) {
    for (const WorkstationUsage& usage : tally.workstations()) {
        if (usage.name == name) return usage;
    }
    ADD_FAILURE() << "no workstation " << name;
    static const WorkstationUsage none;
    return none;
}

TEST(StatisticsLine, WrittenAndReadBackWithTheSameLayout) {
    platform::LocalTime when;
    when.year = 2007;
    when.month = 1;
    when.day = 5;
    when.hour = 9;
    when.minute = 5;
    when.second = 3;
    std::string text;
    sessions::AppendStatisticsLine(text, when, "amy", "Room 12", "101", "");
    EXPECT_EQ(text, "01/05/07\t09:05:03\tamy\tRoom 12\t101\t\r\n");

    // The views of a line point into the text read, which must outlive them.
    const std::string read = text.substr(0, text.size() - 2);
    sessions::StatisticsLine line;
    ASSERT_EQ(sessions::ParseStatisticsLine(read, line), LineProblem::None);
    EXPECT_EQ(line.when.year, 2007);
    EXPECT_EQ(line.when.second, 3);
    EXPECT_EQ(line.account, "amy");
    EXPECT_EQ(line.label, "Room 12");
    EXPECT_EQ(line.event, "101");
    EXPECT_EQ(line.detail, "");

    // Two-digit years as the C library reads them; a TAB in a client event's detail is detail.
    ASSERT_EQ(sessions::ParseStatisticsLine("12/31/69\t23:59:59\ta\tb\tQuiz\tscore\t9", line), LineProblem::None);
    EXPECT_EQ(line.when.year, 1969);
    EXPECT_EQ(line.detail, "score\t9");
    ASSERT_EQ(sessions::ParseStatisticsLine("01/01/68\t00:00:00\ta\tb\t103\t", line), LineProblem::None);
    EXPECT_EQ(line.when.year, 2068);
}

TEST(StatisticsLine, LinesThatCannotBeTakenApartSayWhy) {
    sessions::StatisticsLine line;
    EXPECT_EQ(sessions::ParseStatisticsLine("Service started", line), LineProblem::NoDate);
    EXPECT_EQ(sessions::ParseStatisticsLine("13/01/08\t10:00:00\ta\tb\t101\t", line), LineProblem::NoDate);
    EXPECT_EQ(sessions::ParseStatisticsLine("01/01/08 10:00:00\ta\tb\t101\t", line), LineProblem::NoDate);
    EXPECT_EQ(sessions::ParseStatisticsLine("01/01/08\t24:00:00\ta\tb\t101\t", line), LineProblem::NoTime);
    EXPECT_EQ(sessions::ParseStatisticsLine("01/01/08\t10:00:00\ta\tb", line), LineProblem::TooFewColumns);
    // A TAB in the account or the label of a logon moves the event: which field held it is unknown.
    EXPECT_EQ(sessions::ParseStatisticsLine("01/01/08\t10:00:00\tamy\tsmith\tRoom 12\t101\t", line),
              LineProblem::TabInAccountOrLabel);
    EXPECT_EQ(sessions::ParseStatisticsLine("01/01/08\t10:00:00\tamy\tRoom\t12\t103\t", line),
              LineProblem::TabInAccountOrLabel);
}

TEST(UsageTally, SessionsPairAcrossChangeOfUserAndDisconnects) {
    const UsageTally tally = Tally({
        Line("01/07/08", "08:00:00", "amy", "Room 12", "101"),
        Line("01/07/08", "08:05:00", "ben", "Room 14", "101"),
        Line("01/07/08", "08:20:00", "amy", "Room 12", "PageTurn", "book 3"),
        // A change of user on Room 12: amy's session ends, cat's begins.
        Line("01/07/08", "08:45:00", "amy", "Room 12", "103"),
        Line("01/07/08", "08:45:00", "cat", "Room 12", "101"),
        // The console disconnects cat; ben logs off.
        Line("01/07/08", "09:30:30", "cat", "Room 12", "103"),
        Line("01/07/08", "09:35:00", "ben", "Room 14", "103"),
        Line("01/07/08", "10:00:00", "amy", "Room 14", "101"),
        Line("01/07/08", "10:10:00", "amy", "Room 14", "103"),
    });
    const UsageTotals& t = tally.totals();
    EXPECT_EQ(t.sessions, 4);
    EXPECT_EQ(t.openSessions, 0);
    EXPECT_EQ(t.events, 1);
    EXPECT_EQ(t.seconds, 45 * 60 + 90 * 60 + 45 * 60 + 30 + 10 * 60);
    EXPECT_EQ(Account(tally, "amy").sessions, 2);
    EXPECT_EQ(Account(tally, "amy").seconds, 55 * 60);
    EXPECT_EQ(Account(tally, "amy").workstations.Count(), 2);
    EXPECT_EQ(Account(tally, "amy").events, 1);
    EXPECT_EQ(Account(tally, "cat").seconds, 45 * 60 + 30);
    EXPECT_EQ(Workstation(tally, "Room 12").sessions, 2);
    EXPECT_EQ(Workstation(tally, "Room 12").accounts.Count(), 2);
    // amy and cat follow each other on Room 12: never more than two at once (with ben).
    EXPECT_EQ(t.mostAtOnce, 2);
    EXPECT_EQ(IsoDateTime(t.mostAtOnceAt), "2008-01-07 08:05:00");
    ASSERT_EQ(tally.events().size(), 1u);
    EXPECT_EQ(tally.events()[0].code, "PageTurn");
    EXPECT_EQ(tally.events()[0].accounts.Count(), 1);
}

TEST(UsageTally, AMissingEndIsCountedOpenAndNeverGivenALength) {
    const UsageTally tally = Tally({
        // The file begins during ben's session: an end without a logon.
        Line("03/03/08", "08:00:00", "ben", "Lab", "103"),
        Line("03/03/08", "08:10:00", "amy", "Lab", "101"),
        // The server restarted; amy logs on at the same workstation again before any end.
        Line("03/03/08", "09:00:00", "amy", "Lab", "101"),
        Line("03/03/08", "09:30:00", "amy", "Lab", "103"),
        // The file ends during dan's session.
        Line("03/03/08", "10:00:00", "dan", "Lab", "101"),
    });
    const UsageTotals& t = tally.totals();
    EXPECT_EQ(t.sessions, 1);
    EXPECT_EQ(t.seconds, 30 * 60);
    EXPECT_EQ(t.openSessions, 2);
    EXPECT_EQ(t.endsWithoutLogon, 1);
    EXPECT_EQ(Account(tally, "amy").openSessions, 1);
    EXPECT_EQ(Account(tally, "dan").openSessions, 1);
    EXPECT_EQ(Account(tally, "dan").MedianMinutes(), -1);
    EXPECT_EQ(Workstation(tally, "Lab").openSessions, 2);
    // Only the session with both ends counts among the people at once.
    EXPECT_EQ(t.mostAtOnce, 1);
    EXPECT_EQ(tally.hours()[8].mostAtOnce, 0);
    EXPECT_EQ(tally.hours()[9].mostAtOnce, 1);
    EXPECT_EQ(tally.days().at(DayNumber(2008, 3, 3)).sessions, 3);
}

TEST(UsageTally, PeriodLimitsTakeSessionsByTheDayTheyBegan) {
    const std::vector<std::string> lines = {
        Line("02/29/08", "23:00:00", "amy", "Lab", "101"),
        Line("03/01/08", "01:00:00", "amy", "Lab", "103"),
        Line("03/01/08", "08:00:00", "ben", "Lab", "101"),
        Line("03/01/08", "08:00:01", "ben", "Lab", "Quiz"),
        Line("03/02/08", "09:00:00", "ben", "Lab", "103"),
        Line("03/02/08", "10:00:00", "cat", "Lab", "Quiz"),
    };
    ReportPeriod march1;
    march1.firstDay = march1.lastDay = DayNumber(2008, 3, 1);
    const UsageTally tally = Tally(lines, march1);
    const UsageTotals& t = tally.totals();
    // amy began on February 29th; ben's session began in the period and ends after it.
    EXPECT_EQ(t.sessions, 1);
    EXPECT_EQ(t.seconds, 25 * 3600);
    EXPECT_EQ(Account(tally, "ben").sessions, 1);
    for (const AccountUsage& usage : tally.accounts()) {
        EXPECT_TRUE(usage.name != "cat" || !usage.Seen()) << "a line after the period is not seen";
    }
    EXPECT_EQ(t.events, 1);
    EXPECT_EQ(t.linesInPeriod, 3);
    // amy was on at 00:30 on March 1st: people at once are about time, not about when sessions began.
    EXPECT_EQ(tally.days().at(DayNumber(2008, 3, 1)).mostAtOnce, 1);
    EXPECT_EQ(tally.hours()[0].mostAtOnce, 1);
    EXPECT_EQ(tally.days().count(DayNumber(2008, 3, 2)), 0u);
    EXPECT_EQ(tally.days().count(DayNumber(2008, 2, 29)), 0u);
}

TEST(UsageTally, ASessionOverTheYearBoundary) {
    const std::vector<std::string> lines = {
        Line("12/31/07", "23:30:00", "amy", "Lab", "101"),
        Line("01/01/08", "00:30:00", "amy", "Lab", "103"),
    };
    const UsageTally whole = Tally(lines);
    EXPECT_EQ(whole.totals().seconds, 3600);
    EXPECT_EQ(whole.days().at(DayNumber(2007, 12, 31)).sessions, 1);
    EXPECT_EQ(whole.days().at(DayNumber(2008, 1, 1)).mostAtOnce, 1);
    EXPECT_EQ(whole.hours()[23].mostAtOnce, 1);
    EXPECT_EQ(whole.hours()[0].mostAtOnce, 1);
    EXPECT_EQ(IsoDate(DayNumber(2008, 1, 1)), "2008-01-01");

    ReportPeriod newYear;
    newYear.firstDay = DayNumber(2008, 1, 1);
    const UsageTally fromJanuary = Tally(lines, newYear);
    EXPECT_EQ(fromJanuary.totals().sessions, 0);
    EXPECT_EQ(fromJanuary.days().at(DayNumber(2008, 1, 1)).mostAtOnce, 1);
}

TEST(UsageTally, PeopleAtOnceCarryOverQuietHoursAndDays) {
    const UsageTally tally = Tally({
        Line("05/05/08", "09:50:00", "amy", "A", "101"),
        Line("05/05/08", "09:55:00", "ben", "B", "101"),
        Line("05/05/08", "09:58:00", "ben", "B", "103"),
        // amy stays logged on over two nights.
        Line("05/07/08", "11:10:00", "amy", "A", "103"),
    });
    EXPECT_EQ(tally.hours()[9].mostAtOnce, 2);
    EXPECT_EQ(tally.hours()[10].mostAtOnce, 1);
    EXPECT_EQ(tally.hours()[3].mostAtOnce, 1);
    EXPECT_EQ(tally.days().at(DayNumber(2008, 5, 6)).mostAtOnce, 1);
    EXPECT_EQ(tally.days().at(DayNumber(2008, 5, 6)).sessions, 0);
    EXPECT_EQ(tally.hours()[9].sessions, 2);
}

TEST(UsageTally, MedianIsALengthThatOccurred) {
    std::vector<std::string> lines;
    const int lengths[] = {10, 50, 20, 40};
    for (int i = 0; i < 4; ++i) {
        char logon[16];
        char logoff[16];
        std::snprintf(logon, sizeof logon, "%02d:00:00", i + 1);
        std::snprintf(logoff, sizeof logoff, "%02d:%02d:00", i + 1, lengths[i]);
        lines.push_back(Line("06/02/08", logon, "amy", "A", "101"));
        lines.push_back(Line("06/02/08", logoff, "amy", "A", "103"));
    }
    EXPECT_EQ(Account(Tally(lines), "amy").MedianMinutes(), 20);
    lines.pop_back();
    lines.pop_back();
    EXPECT_EQ(Account(Tally(lines), "amy").MedianMinutes(), 20);
}

TEST(UsageTally, UnreadableLinesAreListedAndCountedNeverDropped) {
    std::vector<std::string> lines = {
        Line("01/07/08", "08:00:00", "amy", "Lab", "Quiz", "first line"),
        "second line of the detail",   // a line break in the client event's detail
        std::string("\0", 1),          // the NUL a record file ends with
        "",
        // A line break inside an account name: the parts are joined again.
        "01/07/08\t08:10:00\tbe",
        "n\tLab\t101\t",
        "01/07/08\t08:20:00\tamy\tLab\t103",   // the last column is missing
        Line("01/07/08", "08:30:00", "amy\tsmith", "Lab", "101"),
    };
    for (int i = 0; i < 12; ++i) lines.push_back("garbage " + std::to_string(i));
    const UsageTally tally = Tally(lines);
    const UsageTotals& t = tally.totals();
    EXPECT_EQ(t.continued, 1);
    EXPECT_EQ(t.unreadable, 14);
    ASSERT_EQ(tally.unreadable().size(), UsageTally::kUnreadableShown);
    EXPECT_EQ(tally.unreadable()[0].line, 7);
    EXPECT_EQ(tally.unreadable()[0].reason, "fewer than six columns");
    EXPECT_EQ(tally.unreadable()[1].line, 8);
    EXPECT_EQ(tally.unreadable()[1].reason, "a TAB inside the account or the label of a logon or logoff");
    EXPECT_EQ(tally.unreadable()[2].line, 9);
    EXPECT_EQ(tally.unreadable()[2].source, "EventLog.log");
    EXPECT_EQ(Account(tally, "be\nn").openSessions, 1);
    EXPECT_EQ(t.lines, 18) << "the NUL and the empty line are no lines";
}

TEST(ReportDate, BothFormsAndNothingElse) {
    EXPECT_EQ(ParseReportDate("2008-01-31"), DayNumber(2008, 1, 31));
    EXPECT_EQ(ParseReportDate("01/31/08"), DayNumber(2008, 1, 31));
    EXPECT_EQ(ParseReportDate("12/31/99"), DayNumber(1999, 12, 31));
    EXPECT_EQ(ParseReportDate("2024-02-29"), DayNumber(2024, 2, 29));
    EXPECT_EQ(DayNumber(1970, 1, 1), 0);
    EXPECT_EQ(IsoDate(DayNumber(1969, 12, 31)), "1969-12-31");
    for (const char* bad : {"2023-02-29", "2008-13-01", "2008-1-31", "31/01/08", "yesterday", ""}) {
        EXPECT_FALSE(ParseReportDate(bad).has_value()) << bad;
    }
}

} // namespace
} // namespace vserver::ctl
