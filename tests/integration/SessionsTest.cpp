// Logon, liveness checks, change of user, the console's operations and the statistics file,
// driven over TCP against the real server.

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "ServerHarness.h"

using namespace vserver;
using namespace vserver::test;

namespace {

const std::string A7 = "\xA7";
const std::string A6 = "\xA6";
const std::string kConsole = "<Service Administrator Console>";

std::string Options(const std::string& values) {
    return "[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Options]\r\n" + values;
}

class Sessions : public ::testing::Test {
protected:
    void StartServer(const std::string& options = "") {
        server = std::make_unique<ServerProcess>(ServerOptions{.extraRegistry = Options(options)});
        ASSERT_TRUE(server->Start()) << server->failure();
        for (const char* account : {"jsmith", "amy", "ben"}) MakeFolder(server->usersFolder() + "/" + account);
    }

    static client::Request LogonRequest(int id, const std::string& account, int kind, const std::string& version = "9.0",
                                        const std::string& label = "Room 12") {
        return {.id = id, .type = 101, .label = label, .account = account, .clientKind = kind, .version = version,
                .detail = "ws-" + account};
    }

    std::string Logon(client::Connection& c, int id, const std::string& account, int kind = 3,
                      const std::string& version = "9.0") {
        return Exchange(c, LogonRequest(id, account, kind, version));
    }

    // requester asks to log on as account, which holder holds: the server checks the holder,
    // and the request waits for its answer.
    static void StartWaitingLogon(client::Connection& requester, int id, const std::string& account,
                                  client::Connection& holder) {
        ASSERT_TRUE(requester.Send(LogonRequest(id, account, 3)));
        auto check = holder.ReadMessage(5s);
        ASSERT_TRUE(check.has_value());
        EXPECT_EQ(*check, "2" + A7 + account);
    }

    client::Connection Console() {
        auto c = server->Connect();
        client::Request r = LogonRequest(1, kConsole, 5, "9.0", "Admin");
        r.detail = "console";
        EXPECT_EQ(Exchange(c, r), "1" + A7 + "1");
        return c;
    }

    std::string Ask(client::Connection& c, int type, const std::string& arg1 = "", const std::string& arg2 = "") {
        return Exchange(c, {.id = 9, .type = type, .argument1 = arg1, .argument2 = arg2});
    }

    std::unique_ptr<ServerProcess> server;
};

std::string Refusal(int id, const std::string& type, int code) {
    return "1" + A7 + std::to_string(id) + A7 + type + A7 + std::to_string(code);
}

} // namespace

TEST_F(Sessions, LogonRefusalsInTheirOrder) {
    StartServer();
    auto c = server->Connect();
    EXPECT_EQ(Logon(c, 4, "jsmith", 3, "9.0 "), Refusal(4, "101", 6) + A7 + A6 + "9.0");
    EXPECT_EQ(Logon(c, 5, "nobody"), Refusal(5, "101", 1));
    // Refusals go out even for an id of 0; a success then gets no reply.
    EXPECT_EQ(Logon(c, 0, "nobody"), Refusal(0, "101", 1));
    ASSERT_TRUE(c.Send(LogonRequest(0, "jsmith", 3)));
    EXPECT_TRUE(c.ExpectSilence(300ms));

    auto console = Console();
    auto second = server->Connect();
    EXPECT_EQ(Logon(second, 6, kConsole, 5), Refusal(6, "101", 2));
    // The kind-4 client skips the account checks: an account without a home folder is fine.
    auto kiosk = server->Connect();
    EXPECT_EQ(Logon(kiosk, 7, "no-home", 4), "1" + A7 + "7");
}

TEST_F(Sessions, LockOnlyHoldsWhileTheConsoleIsAlone) {
    StartServer();
    auto console = Console();
    EXPECT_EQ(Ask(console, 800, "1"), "1" + A7 + "9" + A7 + "800" + A7 + "True");
    EXPECT_EQ(Ask(console, 801), "1" + A7 + "9" + A7 + "801" + A7 + "True");
    auto c = server->Connect();
    EXPECT_EQ(Logon(c, 3, "jsmith", 3, "8.0"), Refusal(3, "101", 6) + A7 + A6 + "9.0");
    EXPECT_EQ(Logon(c, 3, "jsmith"), Refusal(3, "101", 5));
    // A lock asked for while another connection exists clears the lock.
    EXPECT_EQ(Ask(console, 800, "1"), "1" + A7 + "9" + A7 + "800" + A7 + "True");
    EXPECT_EQ(Ask(console, 801), "1" + A7 + "9" + A7 + "801" + A7 + "False");
    EXPECT_EQ(Logon(c, 3, "jsmith"), "1" + A7 + "3");
}

TEST_F(Sessions, ListAndCountSessions) {
    StartServer();
    auto console = Console();
    auto waiting = server->Connect();
    EXPECT_EQ(Ask(console, 803), "1" + A7 + "9" + A7 + "803" + A7 + "\xB0" + "<Logging On, Index #2...>" + A7 + A7 + A7 +
                                     A6 + kConsole + A7 + "Admin" + A7 + "5" + A7 + "console");
    auto user = server->Connect();
    Logon(user, 2, "amy");
    EXPECT_EQ(Ask(console, 802), "1" + A7 + "9" + A7 + "802" + A7 + "2");
    console.Close();
    auto other = server->Connect();
    other.Send({.id = 9, .type = 802});
    EXPECT_EQ(*other.ReadMessage(5s), "1" + A7 + "9" + A7 + "802" + A7 + "False");
    EXPECT_TRUE(server->WaitForLogText("Console request refused"));
}

TEST_F(Sessions, LiveEarlierSessionKeepsItsAccount) {
    StartServer();
    auto first = server->Connect();
    EXPECT_EQ(Logon(first, 1, "jsmith"), "1" + A7 + "1");
    auto second = server->Connect();
    StartWaitingLogon(second, 2, "jsmith", first);
    // While the check waits, the requester itself and others are served.
    EXPECT_EQ(Ask(second, 207), "1" + A7 + "9" + A7 + "207" + A7 + "9.0");
    ASSERT_TRUE(first.Send({.id = 0, .type = 1}));
    EXPECT_EQ(*second.ReadMessage(5s), Refusal(2, "101", 2));
    EXPECT_EQ(Ask(first, 207), "1" + A7 + "9" + A7 + "207" + A7 + "9.0");
}

TEST_F(Sessions, SilentEarlierSessionIsEndedAndStatisticsWritten) {
    StartServer("\"LivenessTimeoutSeconds\"=\"1\"\r\n\"LogUserStatistics\"=\"True\"\r\n");
    auto first = server->Connect();
    Logon(first, 1, "amy");
    auto stranger = server->Connect();
    // An answer from a connection that is not awaited changes nothing.
    auto second = server->Connect();
    StartWaitingLogon(second, 2, "amy", first);
    stranger.Send({.id = 0, .type = 1});
    EXPECT_EQ(*first.ReadMessage(5s), "103" + A7 + "amy");
    EXPECT_FALSE(first.ReadMessage(5s).has_value());
    EXPECT_TRUE(first.closed());
    EXPECT_EQ(*second.ReadMessage(5s), "1" + A7 + "2");
    std::string stats = ReadFile(server->usersFolder() + "/EventLog.log");
    auto lines = client::SplitFields(stats, '\n');
    ASSERT_EQ(lines.size(), 4u) << stats;
    EXPECT_EQ(lines[0].substr(18), "amy\tRoom 12\t101\t\r");
    EXPECT_EQ(lines[1].substr(18), "amy\tRoom 12\t103\t\r");
    EXPECT_EQ(lines[2].substr(18), "amy\tRoom 12\t101\t\r");
    EXPECT_EQ(lines[3], std::string(1, '\0'));
}

// The earlier session answers in time, but the server only gets to it after the wait is over,
// behind the requests of many other connections (here the server is stopped meanwhile, as a
// server busy with a morning's logons may be held up): the answer, waiting unread, counts, and
// the session is kept.
TEST_F(Sessions, AnAnswerWaitingUnreadAtTheTimeoutKeepsTheSession) {
    StartServer("\"LivenessTimeoutSeconds\"=\"1\"\r\n");
    auto first = server->Connect();
    Logon(first, 1, "amy");
    std::vector<client::Connection> others;
    for (int i = 0; i < 300; ++i) {
        others.push_back(server->Connect());
        ASSERT_EQ(Ask(others.back(), 207), "1" + A7 + "9" + A7 + "207" + A7 + "9.0");
    }
    auto second = server->Connect();
    StartWaitingLogon(second, 2, "amy", first);
    ASSERT_EQ(::kill(server->pid(), SIGSTOP), 0);
    for (auto& other : others) ASSERT_TRUE(other.Send({.id = 9, .type = 207}));
    ASSERT_TRUE(first.Send({.id = 0, .type = 1}));
    // Past the timeout, so that its timer is due when the server runs again.
    std::this_thread::sleep_for(1500ms);
    ASSERT_EQ(::kill(server->pid(), SIGCONT), 0);
    EXPECT_EQ(*second.ReadMessage(10s), Refusal(2, "101", 2));
    EXPECT_EQ(Ask(first, 207), "1" + A7 + "9" + A7 + "207" + A7 + "9.0");
}

TEST_F(Sessions, ChangeUserWithItsRefusals) {
    StartServer("\"LogUserStatistics\"=\"True\"\r\n");
    auto amy = server->Connect();
    Logon(amy, 1, "amy");
    auto console = Console();
    auto answer = [&] {
        auto check = amy.ReadMessage(5s);
        ASSERT_TRUE(check.has_value());
        amy.Send({.id = 0, .type = 1});
    };
    EXPECT_EQ(Exchange(console, {.id = 3, .type = 104, .account = "nobody", .argument1 = "ben"}), Refusal(3, "104", 3));
    console.Send({.id = 4, .type = 104, .account = "amy", .argument1 = "ghost"});
    answer();
    EXPECT_EQ(*console.ReadMessage(5s), Refusal(4, "104", 1));
    console.Send({.id = 5, .type = 104, .account = "amy", .argument1 = "amy"});
    answer();
    answer();
    EXPECT_EQ(*console.ReadMessage(5s), Refusal(5, "104", 2));
    console.Send({.id = 6, .type = 104, .account = "amy", .argument1 = "ben"});
    answer();
    EXPECT_EQ(*console.ReadMessage(5s), "1" + A7 + "6" + A7 + "104" + A7);
    std::string stats = ReadFile(server->usersFolder() + "/EventLog.log");
    EXPECT_NE(stats.find("amy\tRoom 12\t103\t\r\n"), std::string::npos) << stats;
    EXPECT_NE(stats.find("ben\tRoom 12\t101\t\r\n"), std::string::npos) << stats;
    EXPECT_EQ(Ask(console, 804, "ben"), "1" + A7 + "9" + A7 + "804" + A7 + "True");
    EXPECT_EQ(*amy.ReadMessage(5s), "103" + A7 + "ben");
}

TEST_F(Sessions, MessagesAndToolbarSetsSentAtOnce) {
    StartServer();
    WriteFile(server->usersFolder() + "/ToolbarSet_Reading.vts", "[Toolbar]\r\n");
    auto console = Console();
    auto old = server->Connect();
    Logon(old, 1, "kiosk", 4);
    auto newer = server->Connect();
    Logon(newer, 2, "kiosk", 4);
    EXPECT_EQ(Ask(console, 805, "kiosk", "Lunch time"), "1" + A7 + "9" + A7 + "805" + A7 + "True");
    EXPECT_EQ(*newer.ReadMessage(5s), "200" + A7 + "Lunch time");
    EXPECT_TRUE(old.ExpectSilence(200ms));
    EXPECT_EQ(Ask(console, 811, "kiosk", "Reading"), "1" + A7 + "9" + A7 + "811" + A7 + "True");
    EXPECT_EQ(*newer.ReadMessage(5s), "209" + A7 + "Reading");
    EXPECT_EQ(Ask(console, 805, "nobody", "x"), "1" + A7 + "9" + A7 + "805" + A7 + "False");
    EXPECT_EQ(Ask(console, 804, "nobody"), "1" + A7 + "9" + A7 + "804" + A7 + "False");
    EXPECT_TRUE(server->WaitForLogText("Attempt to send text message to unknown connection index"));
    EXPECT_TRUE(server->WaitForLogText("Attempt to disconnect unknown user account"));
    // The toolbar-set check answers for itself, even with id 0, and takes a pattern.
    auto client = server->Connect();
    EXPECT_EQ(Exchange(client, {.id = 0, .type = 205, .argument1 = "reading"}), "1" + A7 + "0" + A7 + "205" + A7 + "True");
    EXPECT_EQ(Exchange(client, {.id = 2, .type = 205, .argument1 = "R*"}), "1" + A7 + "2" + A7 + "205" + A7 + "True");
    EXPECT_EQ(Exchange(client, {.id = 3, .type = 205, .argument1 = "Maths"}), "1" + A7 + "3" + A7 + "205" + A7 + "False");
}

// Clients that send many events at once: every event whose answer a client holds is already in
// the file, and each client's lines are all there in the order it sent them.
TEST_F(Sessions, AnAnsweredEventIsAlreadyInTheStatisticsFile) {
    StartServer("\"LogUserStatistics\"=\"True\"\r\n");
    const std::vector<std::string> accounts = {"amy", "ben", "jsmith"};
    constexpr int kEvents = 20;
    std::vector<client::Connection> clients;
    for (const std::string& account : accounts) {
        clients.push_back(server->Connect());
        std::string burst;
        for (int id = 1; id <= kEvents; ++id) {
            burst += client::EncodeRequest({.id = id, .type = 3, .label = "Room 12", .account = account,
                                            .argument1 = "Page", .argument2 = std::to_string(id)});
        }
        ASSERT_TRUE(clients.back().SendRaw(burst));
    }
    const std::string path = server->usersFolder() + "/EventLog.log";
    auto linesOf = [](const std::string& text, const std::string& account) {
        std::vector<std::string> details;
        for (const std::string& line : client::SplitFields(text, '\n')) {
            std::size_t at = line.find("\t" + account + "\tRoom 12\tPage\t");
            if (at != std::string::npos) details.push_back(line.substr(line.rfind('\t') + 1));
        }
        return details;
    };
    for (std::size_t c = 0; c < clients.size(); ++c) {
        for (int id = 1; id <= kEvents; ++id) {
            ASSERT_EQ(clients[c].ReadMessage(5s), "1" + A7 + std::to_string(id));
            std::vector<std::string> written = linesOf(ReadFile(path), accounts[c]);
            ASSERT_GE(written.size(), static_cast<std::size_t>(id)) << accounts[c] << " event " << id;
            for (int k = 1; k <= id; ++k) ASSERT_EQ(written[k - 1], std::to_string(k) + "\r");
        }
    }
    const std::string text = ReadFile(path);
    for (const std::string& account : accounts) EXPECT_EQ(linesOf(text, account).size(), std::size_t{kEvents});
    EXPECT_EQ(text.find('\0'), text.size() - 1);
}

// While another program holds the statistics file's lock the line cannot be written: the reply
// waits until the server has given up on it and reported the loss, never the other way round.
TEST_F(Sessions, AnEventIsAnsweredOnlyOnceItsLineIsWrittenOrReported) {
    StartServer("\"LogUserStatistics\"=\"True\"\r\n");
    const std::string path = server->usersFolder() + "/EventLog.log";
    auto amy = server->Connect();
    auto event = [](int id) {
        return client::Request{.id = id, .type = 3, .label = "Room 12", .account = "amy", .argument1 = "Page",
                               .argument2 = "held " + std::to_string(id)};
    };
    {
        LockHolder holder(LockedPath(path));
        ASSERT_TRUE(holder.locked());
        ASSERT_TRUE(amy.Send(event(1)));
        ASSERT_EQ(amy.ReadMessage(10s), "1" + A7 + "1");
        EXPECT_NE(server->ServiceLog().find("Unable to log student tracking data: "), std::string::npos);
    }
    EXPECT_EQ(Exchange(amy, event(2)), "1" + A7 + "2");
    EXPECT_NE(ReadFile(path).find("amy\tRoom 12\tPage\theld 2\r\n"), std::string::npos);
}

TEST_F(Sessions, StatisticsCycleSwitchedOnByTheConsole) {
    StartServer();
    auto console = Console();
    auto amy = server->Connect();
    Logon(amy, 1, "amy");
    EXPECT_FALSE(PathExists(server->usersFolder() + "/EventLog.log"));
    EXPECT_EQ(Ask(console, 817, "LogUserStatistics", "true"), "1" + A7 + "9" + A7 + "817" + A7 + "True");
    EXPECT_EQ(Ask(console, 809), "1" + A7 + "9" + A7 + "809" + A7 + "True");
    Logon(amy, 2, "amy", 4);
    EXPECT_EQ(Exchange(amy, {.id = 3, .type = 3, .label = "Room 12", .account = "amy", .argument1 = "Opened",
                             .argument2 = "Book 4"}), "1" + A7 + "3");
    Exchange(amy, {.id = 3, .type = 3, .label = "x", .account = kConsole, .argument1 = "Ignored"});
    amy.Send({.id = 4, .type = 103, .label = "Room 12", .account = "amy"});
    EXPECT_FALSE(amy.ReadMessage(5s).has_value());
    EXPECT_TRUE(server->WaitForLogText("Attempt to send a message to an unknown connection index"));
    std::string stats = ReadFile(server->usersFolder() + "/EventLog.log");
    auto lines = client::SplitFields(stats, '\n');
    ASSERT_EQ(lines.size(), 4u) << stats;
    EXPECT_EQ(lines[0].substr(18), "amy\tRoom 12\t101\t\r");
    EXPECT_EQ(lines[1].substr(18), "amy\tRoom 12\tOpened\tBook 4\r");
    EXPECT_EQ(lines[2].substr(18), "amy\tRoom 12\t103\t\r");
}

TEST_F(Sessions, StopDuringALivenessWaitEndsPromptly) {
    StartServer();
    auto first = server->Connect();
    Logon(first, 1, "jsmith");
    auto second = server->Connect();
    StartWaitingLogon(second, 2, "jsmith", first);
    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(server->Stop(SIGTERM, 5s), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 3s);
    EXPECT_EQ(server->ServiceLogTexts().back(), "Service ending normally");
}

TEST_F(Sessions, RequesterThatLeavesDuringItsWaitIsNotLoggedOn) {
    StartServer("\"LivenessTimeoutSeconds\"=\"1\"\r\n");
    auto silent = server->Connect();
    Logon(silent, 1, "jsmith");
    {
        auto leaving = server->Connect();
        StartWaitingLogon(leaving, 2, "jsmith", silent);
    }
    // The leaver's index goes to the next connection; the finished wait must not log it on.
    auto next = server->Connect();
    EXPECT_EQ(*silent.ReadMessage(5s), "103" + A7 + "jsmith");
    EXPECT_TRUE(server->WaitForLogText("Attempt to log on from an unknown connection index"));
    EXPECT_TRUE(next.ExpectSilence(200ms));
    auto console = Console();
    std::string list = Ask(console, 803);
    EXPECT_EQ(list.find("jsmith"), std::string::npos) << list;
    // A console that disconnects its own account closes itself; its completion finds nobody.
    console.Send({.id = 5, .type = 804, .argument1 = kConsole});
    EXPECT_EQ(*console.ReadMessage(5s), "103" + A7 + kConsole);
    EXPECT_FALSE(console.ReadMessage(5s).has_value());
    EXPECT_TRUE(console.closed());
    EXPECT_TRUE(server->WaitForLogText("Attempt to send a message to an unknown connection index"));
}

TEST_F(Sessions, AHolderThatLeavesDuringTheCheckIsDisconnectedAsUnknown) {
    StartServer();
    auto first = server->Connect();
    ASSERT_EQ(Logon(first, 1, "jsmith"), "1" + A7 + "1");
    auto second = server->Connect();
    StartWaitingLogon(second, 2, "jsmith", first);

    // The checked session goes away instead of answering: the check goes on as for a silent
    // session, whose disconnect now finds nobody, and the logon succeeds.
    first.Close();
    EXPECT_EQ(second.ReadMessage(10s).value_or(""), "1" + A7 + "2");
    auto texts = server->ServiceLogTexts();
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "Attempt to disconnect unknown user account"), 1);
}

TEST_F(Sessions, TwoLogonsWaitingOnOneSilentSessionLeaveOneHolder) {
    StartServer("\"LivenessTimeoutSeconds\"=\"1\"\r\n");
    auto silent = server->Connect();
    Logon(silent, 1, "amy");
    auto first = server->Connect();
    auto second = server->Connect();
    StartWaitingLogon(first, 2, "amy", silent);
    StartWaitingLogon(second, 3, "amy", silent);
    EXPECT_EQ(*silent.ReadMessage(5s), "103" + A7 + "amy");
    // The first waiter takes the account; the second then checks the new holder, which answers.
    EXPECT_EQ(*first.ReadMessage(5s), "1" + A7 + "2");
    EXPECT_EQ(*first.ReadMessage(5s), "2" + A7 + "amy");
    first.Send({.id = 0, .type = 1});
    EXPECT_EQ(*second.ReadMessage(5s), Refusal(3, "101", 2));
    auto console = Console();
    int holders = 0;
    for (const auto& entry : client::SplitFields(Ask(console, 803), '\xA6')) {
        if (client::SplitFields(entry).back() == "ws-amy") ++holders;
    }
    EXPECT_EQ(holders, 1);
}
