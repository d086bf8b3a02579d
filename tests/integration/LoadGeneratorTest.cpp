// vserver-load against the real server: a short run with a few connections must see every
// reply right and report a rate; idle connections must stay open; logon cycles and silent
// sessions must leave the server's statistics as real clients would.

#include <gtest/gtest.h>

#include <cstdlib>

#include "ServerHarness.h"
#include "ToolProcess.h"

namespace vserver::test {
namespace {

// The number after "name=" in the summary line, or -1.
double SummaryValue(const std::string& summary, const std::string& name) {
    std::size_t at = summary.find(" " + name + "=");
    if (at == std::string::npos) at = summary.rfind(name + "=", 0) == 0 ? 0 : std::string::npos;
    if (at == std::string::npos) return -1;
    at = summary.find('=', at) + 1;
    return std::atof(summary.c_str() + at);
}

TEST(LoadGenerator, ShortRunSeesEveryReplyRight) {
    ServerProcess server;
    ASSERT_TRUE(server.Start()) << server.failure();
    ToolRun run = RunTool(LoadGeneratorPath(), {"--port", std::to_string(server.port()), "--connections", "10",
                                                "--seconds", "1", "--warmup", "0.2"});
    EXPECT_EQ(run.exitStatus, 0) << run.out << run.err;
    EXPECT_NE(run.out.find(" errors=0 "), std::string::npos) << run.out;
    EXPECT_GT(SummaryValue(run.out, "rps"), 0) << run.out;
    EXPECT_GT(SummaryValue(run.out, "p50_us"), 0) << run.out;
    EXPECT_EQ(SummaryValue(run.out, "conns"), 10) << run.out;
}

TEST(LoadGenerator, IdleConnectionsStayOpen) {
    ServerProcess server;
    ASSERT_TRUE(server.Start()) << server.failure();
    ToolRun run = RunTool(LoadGeneratorPath(), {"--port", std::to_string(server.port()), "--connections", "200",
                                                "--seconds", "0.5", "--idle"});
    EXPECT_EQ(run.exitStatus, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("mode=idle conns=200 "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(" errors=0 "), std::string::npos) << run.out;
}

TEST(LoadGenerator, WrongRepliesAreCountedAndOnlyLoopbackIsTargeted) {
    ServerProcess server;
    ASSERT_TRUE(server.Start()) << server.failure();
    // Expecting another version than the server's: every reply is wrong.
    std::string wrongReply = client::ToHex(client::EncodeMessage({"1", "1", "207", "8.0"}));
    ToolRun run = RunTool(LoadGeneratorPath(), {"--port", std::to_string(server.port()), "--connections", "2",
                                                "--seconds", "0.3", "--warmup", "0", "--greeting-hex", "31a730a7bb0a",
                                                "--request-hex", "31a7a7a7323037bb0a", "--reply-hex", wrongReply});
    EXPECT_EQ(run.exitStatus, 1) << run.out << run.err;
    EXPECT_GT(SummaryValue(run.out, "errors"), 0) << run.out;

    ToolRun remote = RunTool(LoadGeneratorPath(), {"--host", "192.0.2.1", "--port", "1006"});
    EXPECT_EQ(remote.exitStatus, 2);
    EXPECT_NE(remote.err.find("only targets the loopback interface"), std::string::npos) << remote.err;
}

std::string Options(const std::string& values) {
    return "[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Options]\r\n" + values;
}

void MakeAccounts(const ServerProcess& server, const std::string& prefix, int count) {
    for (int i = 0; i < count; ++i) MakeFolder(server.usersFolder() + "/" + prefix + std::to_string(i));
}

TEST(LoadGenerator, LogonCyclesCompleteAndAreLogged) {
    ServerProcess server(ServerOptions{.extraRegistry = Options("\"LogUserStatistics\"=\"True\"\r\n")});
    ASSERT_TRUE(server.Start()) << server.failure();
    MakeAccounts(server, "user", 10);
    ToolRun run = RunTool(LoadGeneratorPath(), {"--port", std::to_string(server.port()), "--logon-cycles", "--connections",
                                                "10", "--seconds", "1", "--warmup", "0.2", "--server-pid",
                                                std::to_string(server.pid())});
    EXPECT_EQ(run.exitStatus, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("mode=logon-cycles conns=10 "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(" errors=0 "), std::string::npos) << run.out;
    EXPECT_GT(SummaryValue(run.out, "cps"), 0) << run.out;
    EXPECT_GT(SummaryValue(run.out, "p99_us"), 0) << run.out;
    EXPECT_GE(SummaryValue(run.out, "server_cpu_ms"), 0) << run.out;
    // Every step reached the server as its own request: logon, client event, logoff.
    std::string statistics = ReadFile(server.usersFolder() + "/EventLog.log");
    for (const char* line : {"\tuser9\tLoad\t101\t\r\n", "\tuser9\tLoad\tLoadCycle\tlogon cycle\r\n",
                             "\tuser9\tLoad\t103\t\r\n"}) {
        EXPECT_NE(statistics.find(line), std::string::npos) << Hex(line);
    }

    // An account without a folder is refused, and the refusal counts as an error. Under Wine a
    // cycle takes a few hundred milliseconds, so the window must hold more than the first ones.
    const std::string window = WindowsServer() ? "3" : "0.5";
    ToolRun refused = RunTool(LoadGeneratorPath(), {"--port", std::to_string(server.port()), "--logon-cycles",
                                                    "--connections", "11", "--seconds", window, "--warmup", "0"});
    EXPECT_EQ(refused.exitStatus, 1) << refused.out << refused.err;
    EXPECT_GT(SummaryValue(refused.out, "errors"), 0) << refused.out;
    EXPECT_GT(SummaryValue(refused.out, "cps"), 0) << refused.out;
}

TEST(LoadGenerator, SilentWaitsStayWaitingAcrossTheirTimeout) {
    ServerProcess server(ServerOptions{.extraRegistry = Options("\"LivenessTimeoutSeconds\"=\"1\"\r\n"
                                                                "\"LogUserStatistics\"=\"True\"\r\n")});
    ASSERT_TRUE(server.Start()) << server.failure();
    MakeAccounts(server, "silent", 2);
    // The window outlasts the one-second timeout, so each pair swaps parts at least once.
    ToolRun run = RunTool(LoadGeneratorPath(), {"--port", std::to_string(server.port()), "--connections", "5",
                                                "--seconds", "1.5", "--warmup", "0.2", "--silent-waits", "2"});
    EXPECT_EQ(run.exitStatus, 0) << run.out << run.err;
    EXPECT_NE(run.out.find(" errors=0 "), std::string::npos) << run.out;
    EXPECT_GT(SummaryValue(run.out, "rps"), 0) << run.out;
    EXPECT_EQ(SummaryValue(run.out, "silent_waits"), 2) << run.out;
    EXPECT_GE(SummaryValue(run.out, "waits_ended"), 2) << run.out;
    EXPECT_GT(SummaryValue(run.out, "mean_waits"), 1.5) << run.out;
    double waited = SummaryValue(run.out, "mean_wait_secs");
    EXPECT_GT(waited, 0.5) << run.out;
    EXPECT_LT(waited, 2.0) << run.out;
    // The server ended each silent session it waited for.
    EXPECT_NE(ReadFile(server.usersFolder() + "/EventLog.log").find("\tsilent1\tLoad\t103\t\r\n"), std::string::npos);

    // Without the account folders no wait can be set up; that is reported, not waited out.
    ToolRun missing = RunTool(LoadGeneratorPath(), {"--port", std::to_string(server.port()), "--idle", "--connections",
                                                    "1", "--seconds", "0.2", "--silent-waits", "1",
                                                    "--silent-prefix", "nobody"});
    EXPECT_EQ(missing.exitStatus, 3) << missing.out << missing.err;
    EXPECT_NE(missing.err.find("cannot set up 1 liveness waits"), std::string::npos) << missing.err;
}

} // namespace
} // namespace vserver::test
