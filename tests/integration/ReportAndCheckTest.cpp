// vserverctl report and check: the report over prepared statistics files and over the file a
// live server writes, its page checked as HTML, and the monitoring check against a live
// server, beside another console, and with no server at all.

#include <gtest/gtest.h>

#include <algorithm>

#include "Listeners.h"
#include "ServerHarness.h"
#include "ToolProcess.h"

namespace vserver::test {
namespace {

std::string Line(const std::string& when, const std::string& account, const std::string& label,
                 const std::string& event, const std::string& detail = "") {
    return when + "\t" + account + "\t" + label + "\t" + event + "\t" + detail + "\r\n";
}

// A week of a school's statistics as the server writes them, with what goes wrong in real
// files: a restart that lost an end, a line it cannot read, and names in the code page.
std::string PreparedWeek() {
    return Line("12/31/07\t23:30:00", "night", "Library", "101") +
           Line("01/01/08\t00:30:00", "night", "Library", "103") +
           Line("01/07/08\t08:00:00", "amy", "Room 12", "101") +
           Line("01/07/08\t08:20:00", "amy", "Room 12", "PageTurn", "book 3") +
           Line("01/07/08\t08:45:00", "amy", "Room 12", "103") +          // change of user
           Line("01/07/08\t08:45:00", "\xE9l\xE8ve", "Room 12", "101") +
           Line("01/07/08\t09:45:00", "\xE9l\xE8ve", "Room 12", "103") +  // disconnected by the console
           Line("01/07/08\t10:00:00", "<script>x</script>", "Room 14", "101") +
           Line("01/07/08\t10:30:00", "<script>x</script>", "Room 14", "103") +
           "Service restarted by hand\r\n" +
           Line("01/08/08\t09:00:00", "amy\tsmith", "Room 12", "101") +    // a TAB in the account
           Line("01/08/08\t09:10:00", "ben", "Room 14", "101") + std::string("\0", 1);
}

class ReportTest : public ::testing::Test {
protected:
    std::string Write(const std::string& name, const std::string& text) {
        WriteFile(folder_ / name, text);
        return folder_ / name;
    }
    ToolRun Report(std::vector<std::string> arguments, const std::map<std::string, std::string>& environment = {}) {
        arguments.insert(arguments.begin(), "report");
        return RunVserverctl(arguments, environment);
    }

    TempFolder folder_;
};

TEST_F(ReportTest, TextJsonAndCsvOfPreparedFiles) {
    const std::string week = Write("EventLog.log", PreparedWeek());
    ToolRun text = Report({"--file", week});
    ASSERT_EQ(text.exitStatus, 0) << text.err;
    EXPECT_NE(text.out.find("Usage 2007-12-31 to 2008-01-08 (" + week + ")"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("Lines: 12 read, 10 in the period, 2 unreadable"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("Sessions: 4 ended, 3 h 15 min in all; 1 open (no end in the file); 0 ends without a logon"),
              std::string::npos)
        << text.out;
    // Names from the code page in UTF-8; the unreadable lines with their numbers.
    EXPECT_NE(text.out.find("\xC3\xA9l\xC3\xA8ve"), std::string::npos);
    EXPECT_NE(text.out.find(week + "  10    no date MM/DD/YY at the start"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find(week + "  11    a TAB inside the account or the label"), std::string::npos) << text.out;

    // The period, and a second file given as an argument.
    const std::string next = Write("EventLog.2.log", Line("01/08/08\t10:10:00", "ben", "Room 14", "103"));
    ToolRun json = Report({"--json", "--from", "2008-01-07", "--to", "01/08/08", week, next});
    ASSERT_EQ(json.exitStatus, 0) << json.err;
    EXPECT_NE(json.out.find("\"period\":{\"from\":\"2008-01-07\",\"to\":\"2008-01-08\"}"), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"sessions\":4,\"openSessions\":0,\"endsWithoutLogon\":0,\"seconds\":11700"),
              std::string::npos)
        << json.out;
    EXPECT_NE(json.out.find("{\"account\":\"\xC3\xA9l\xC3\xA8ve\",\"sessions\":1,\"openSessions\":0,\"seconds\":3600,"
                            "\"medianMinutes\":60,"),
              std::string::npos)
        << json.out;
    EXPECT_EQ(json.out.find("\"account\":\"night\""), std::string::npos) << "night's session began before the period";

    ToolRun csv = Report({"--csv", "--by", "workstations", week});
    ASSERT_EQ(csv.exitStatus, 0) << csv.err;
    EXPECT_EQ(csv.out, "workstation,sessions,open,total_minutes,accounts\n"
                       "Library,1,0,60,1\n"
                       "Room 12,2,0,105,2\n"
                       "Room 14,1,1,30,2\n");
    ToolRun hours = Report({"--csv", "--by", "hours", week});
    EXPECT_EQ(Lines(hours.out).size(), 25u) << "every hour, for a spreadsheet";
}

TEST_F(ReportTest, ThePageParsesAsHtmlWithOneTitledChartPerFigure) {
    const std::string week = Write("EventLog.log", PreparedWeek());
    const std::string page = folder_ / "week.html";
    ToolRun written = Report({week, "--html", page});
    ASSERT_EQ(written.exitStatus, 0) << written.err;
    EXPECT_EQ(written.out, "wrote " + page + ": 4 sessions, 2007-12-31 to 2008-01-08\n");
    ToolRun checked = RunTool("python3", {std::string(VSERVER_SOURCE_DIR) + "/tests/integration/check_report_html.py", page});
    EXPECT_EQ(checked.exitStatus, 0) << checked.out << checked.err;
    EXPECT_EQ(checked.out, "charts 4\n");

    const std::string html = ReadFile(page);
    for (const char* chart : {"Sessions per day", "People at once over the hours of a day", "Time per account",
                              "Workstations in use"}) {
        EXPECT_NE(html.find(std::string(">") + chart + "</title>"), std::string::npos) << chart;
    }
    // A name is text wherever it stands, never markup.
    EXPECT_EQ(html.find("<script>"), std::string::npos);
    EXPECT_NE(html.find("&lt;script&gt;x&lt;/script&gt;"), std::string::npos);
    EXPECT_NE(html.find("\xC3\xA9l\xC3\xA8ve"), std::string::npos);
    EXPECT_NE(html.find("1 session has no end in the file"), std::string::npos);

    // A page that cannot be written fails with the reason, and nothing is half written.
    ToolRun unwritable = Report({week, "--html", folder_ / "missing/week.html"});
    EXPECT_EQ(unwritable.exitStatus, 1);
    EXPECT_NE(unwritable.err.find("cannot write " + folder_ / "missing/week.html"), std::string::npos) << unwritable.err;
    ToolRun missing = Report({folder_ / "nothing.log"});
    EXPECT_EQ(missing.exitStatus, 1);
    EXPECT_NE(missing.err.find("cannot open " + folder_ / "nothing.log"), std::string::npos) << missing.err;
}

TEST_F(ReportTest, ReadsTheFileALiveServerWritesAndStandardInput) {
    ServerProcess server(ServerOptions{.extraRegistry = "[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Options]\r\n"
                                                        "\"LogUserStatistics\"=\"True\"\r\n"});
    ASSERT_TRUE(server.Start()) << server.failure();
    MakeFolder(server.usersFolder() + "/amy");
    client::Connection amy = server.Connect();
    client::Request request{.id = 1, .type = 101, .label = "Room 12", .account = "amy", .clientKind = 1, .version = "9.0"};
    EXPECT_EQ(Hex(Exchange(amy, request)), Hex("1\xA7" "1"));
    request = client::Request{.id = 2, .type = 3, .label = "Room 12", .account = "amy", .argument1 = "Quiz",
                              .argument2 = "7 of 10"};
    EXPECT_EQ(Hex(Exchange(amy, request)), Hex("1\xA7" "2"));
    // The logoff closes the connection; a later request's answer shows its line is written.
    ASSERT_TRUE(amy.Send(client::Request{.id = 3, .type = 103, .label = "Room 12", .account = "amy"}));
    EXPECT_FALSE(amy.ReadMessage(10s).has_value());
    EXPECT_TRUE(amy.closed());
    client::Connection later = server.Connect();
    EXPECT_EQ(Hex(Exchange(later, client::Request{.id = 4, .type = 207})), Hex(Completion(4, 207, "9.0")));

    // Without a file named, the report reads the installation's, found through its settings.
    // (The Windows server's settings name its folders as Windows does: this console is given
    // the file instead.)
    std::vector<std::string> arguments = {"--json"};
    if (WindowsServer()) arguments.push_back(server.usersFolder() + "/EventLog.log");
    ToolRun own = Report(arguments, {{"VSERVER_REGISTRY", server.registryPath()}});
    ASSERT_EQ(own.exitStatus, 0) << own.err;
    EXPECT_NE(own.out.find("\"lines\":3,\"linesInPeriod\":3,\"unreadableLines\":0,\"continuedLines\":0,\"sessions\":1,"
                           "\"openSessions\":0"),
              std::string::npos)
        << own.out;
    EXPECT_NE(own.out.find("{\"event\":\"Quiz\",\"count\":1,\"accounts\":1}"), std::string::npos) << own.out;

    ToolRun piped = RunVserverctl({"report", "--csv", "--by", "events", "-"}, {}, server.usersFolder() + "/EventLog.log");
    EXPECT_EQ(piped.exitStatus, 0) << piped.err;
    EXPECT_EQ(piped.out, "event,count,accounts\nQuiz,1,1\n");
}

class CheckTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server_.Start()) << server_.failure(); }

    // The check as a monitoring system runs it on the server's machine: beside the
    // installation whose files it reads.
    ToolRun Check(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"check", "--port", std::to_string(server_.port())});
        return RunVserverctl(arguments,
                       {{"VSERVER_REGISTRY", server_.registryPath()}, {"VSERVER_LOG_FOLDER", server_.folder()},
                        {"VSERVER_DATA_FOLDER", server_.folder()}});
    }

    ServerProcess server_;
};

TEST_F(CheckTest, ExitStatusAndPerformanceDataAgainstALiveServer) {
    for (const char* account : {"amy", "ben"}) {
        ToolRun queued = RunVserverctl({"--port", std::to_string(server_.port()), "queue-message", account, "hi"});
        ASSERT_EQ(queued.exitStatus, 0) << queued.err;
    }
    client::Connection waiting = server_.Connect();
    client::Connection amy = server_.Connect();
    client::Request logon{.id = 1, .type = 101, .label = "Room 12", .account = "amy", .clientKind = 4, .version = "9.0"};
    EXPECT_EQ(Hex(Exchange(amy, logon)), Hex("1\xA7" "1"));

    ToolRun ok = Check({});
    EXPECT_EQ(ok.exitStatus, 0) << ok.out << ok.err;
    const std::string size = std::to_string(server_.ServiceLog().size());
    EXPECT_EQ(ok.out, "VSERVER OK - 2 connections, 1 sessions, logons open, 2 queued items waiting | connections=2;;;0 "
                      "sessions=1;;;0 locked=0;;;0;1 queued=2;;;0 servicelog=" + size + "B;;;0\n");

    struct Case {
        std::vector<std::string> thresholds;
        int status;
        std::string perf;   // the part that shows the thresholds
    };
    const std::vector<Case> cases = {
        {{"-w", "1"}, 1, "connections=2;1;;0"},     {{"-c", "1"}, 2, "connections=2;;1;0"},
        {{"-w", ",1"}, 1, "queued=2;1;;0"},         {{"-w", "1", "-c", ",1"}, 2, "queued=2;;1;0"},
        {{"-w", "5,5", "-c", "9,9"}, 0, "connections=2;5;9;0"},
    };
    for (const Case& c : cases) {
        ToolRun run = Check(c.thresholds);
        EXPECT_EQ(run.exitStatus, c.status) << run.out;
        const char* names[] = {"OK", "WARNING", "CRITICAL"};
        EXPECT_EQ(run.out.rfind(std::string("VSERVER ") + names[c.status] + " - ", 0), 0u) << run.out;
        EXPECT_NE(run.out.find(c.perf), std::string::npos) << run.out;
    }
    ToolRun json = Check({"--json", "-w", "1"});
    EXPECT_EQ(json.exitStatus, 1);
    EXPECT_EQ(json.out.rfind("{\"ok\":true,\"command\":\"check\",\"status\":\"WARNING\",\"exitStatus\":1,\"connections\":2,"
                             "\"sessions\":1,\"locked\":false,\"queuedItems\":2,\"serviceLogBytes\":",
                             0),
              0u)
        << json.out;
}

TEST_F(CheckTest, BesideAnotherConsoleAndWithoutAServer) {
    client::Connection console = server_.Connect();
    client::Request logon{.id = 1, .type = 101, .account = "<Service Administrator Console>", .clientKind = 5,
                          .version = "9.0"};
    EXPECT_EQ(Hex(Exchange(console, logon)), Hex("1\xA7" "1"));
    // The server answers, but only one console may ask it for its connections.
    ToolRun busy = Check({});
    EXPECT_EQ(busy.exitStatus, 0) << busy.out;
    EXPECT_EQ(busy.out.rfind("VSERVER OK - another console is logged on, so the connections cannot be asked for; "
                             "0 queued items waiting | queued=0;;;0 servicelog=",
                             0),
              0u)
        << busy.out;
    ToolRun unknown = Check({"-w", "10"});
    EXPECT_EQ(unknown.exitStatus, 3) << unknown.out;
    EXPECT_EQ(unknown.out.rfind("VSERVER UNKNOWN - ", 0), 0u) << unknown.out;

    ToolRun down = RunVserverctl({"check", "--port", std::to_string(ClosedPort())});
    EXPECT_EQ(down.exitStatus, 2) << down.out;
    EXPECT_EQ(down.out.rfind("VSERVER CRITICAL - cannot connect to 127.0.0.1:", 0), 0u) << down.out;
    SilentListener silent;
    ToolRun silence = RunVserverctl({"check", "-p", std::to_string(silent.port()), "-t", "0.5"});
    EXPECT_EQ(silence.exitStatus, 2) << silence.out;
    EXPECT_EQ(silence.out.rfind("VSERVER CRITICAL - no greeting from 127.0.0.1:" + std::to_string(silent.port()) +
                                    " within 500 ms",
                                0),
              0u)
        << silence.out;
}

} // namespace
} // namespace vserver::test
