// The morning scenario at a small size against the real server: fifty workstations starting up
// over two seconds beside a console must all be served right, byte for byte, every queued
// message delivered once, the session lists and the statistics file as the clients left them.
// Correctness only: how fast is the benchmark's business (tools/bench/morning.sh).

#include <gtest/gtest.h>

#include <cstdlib>

#include "ServerHarness.h"
#include "ToolProcess.h"

namespace vserver::test {
namespace {

// The number after " name=" in the summary line, or -1.
long long Value(const std::string& summary, const std::string& name) {
    std::size_t at = summary.find(" " + name + "=");
    return at == std::string::npos ? -1 : std::atoll(summary.c_str() + at + name.size() + 2);
}

const std::string kStatisticsOn =
    "[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Options]\r\n\"LogUserStatistics\"=\"True\"\r\n";

// Prepares fifty accounts in the server's installation and runs the scenario over two seconds.
ToolRun RunScenario(const ServerProcess& server) {
    ToolRun prepared = RunTool(LoadGeneratorPath(), {"--scenario", "morning", "--prepare", "--folder", server.folder(),
                                                     "--workstations", "50"});
    EXPECT_EQ(prepared.exitStatus, 0) << prepared.out << prepared.err;
    // Under Wine every request takes many times longer; the run waits for all of them.
    return RunTool(LoadGeneratorPath(),
                   {"--scenario", "morning", "--folder", server.folder(), "--workstations", "50", "--ramp", "2", "--port",
                    std::to_string(server.port()), "--server-pid", std::to_string(server.pid())},
                   {}, std::chrono::seconds(110));
}

TEST(MorningScenario, FiftyWorkstationsBesideAConsoleAreServedRight) {
    ServerProcess server(ServerOptions{.extraRegistry = kStatisticsOn});
    ASSERT_TRUE(server.Start()) << server.failure();
    ToolRun run = RunScenario(server);
    ASSERT_EQ(run.exitStatus, 0) << run.out << run.err;
    EXPECT_EQ(Value(run.out, "errors"), 0) << run.out;
    EXPECT_EQ(Value(run.out, "startup_n"), 50) << run.out;
    // Five accounts held elsewhere: five checks answered, five logons refused as in use.
    EXPECT_EQ(Value(run.out, "checks"), 5) << run.out;
    // The messages left from the day before and the two hundred the console queued, each
    // acknowledged one delivered.
    EXPECT_EQ(Value(run.out, "acknowledged"), 210) << run.out;
    EXPECT_EQ(Value(run.out, "delivered"), 210) << run.out;
    EXPECT_EQ(Value(run.out, "statistics_ok"), 1) << run.out;
    EXPECT_GE(Value(run.out, "lists"), 3) << run.out;
    // Every workstation's write reached its file.
    EXPECT_NE(ReadFile(server.usersFolder() + "/user49/user49VantorelSettings.vts").find("LastLogon=Morning 49"),
              std::string::npos);
}

TEST(MorningScenario, AServerThatLeavesOutStatisticsFailsTheRun) {
    // Without the option the server writes no statistics, which the scenario expects.
    ServerProcess server;
    ASSERT_TRUE(server.Start()) << server.failure();
    ToolRun run = RunScenario(server);
    EXPECT_EQ(run.exitStatus, 1) << run.out << run.err;
    EXPECT_EQ(Value(run.out, "statistics_ok"), 0) << run.out;
    EXPECT_EQ(Value(run.out, "errors"), 1) << run.out;
    EXPECT_NE(run.err.find("errors"), std::string::npos) << run.err;
}

} // namespace
} // namespace vserver::test
