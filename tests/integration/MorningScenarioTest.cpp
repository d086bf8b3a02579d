// The morning scenario at a small size against the real server: fifty workstations starting up
// over two seconds beside a console must all be served right, byte for byte, every queued
// message delivered once, the session lists and the statistics file as the clients left them.
// Correctness only: how fast is the benchmark's business (tools/bench/morning.sh).

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

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

// Prepares the scenario's accounts in folder; false, with the tool's output as a test failure,
// when that fails.
bool Prepare(const std::string& folder, int workstations) {
    ToolRun prepared = RunTool(LoadGeneratorPath(), {"--scenario", "morning", "--prepare", "--folder", folder,
                                                     "--workstations", std::to_string(workstations)});
    EXPECT_EQ(prepared.exitStatus, 0) << prepared.out << prepared.err;
    return prepared.exitStatus == 0;
}

// Prepares fifty accounts in the server's installation and runs the scenario over two seconds.
ToolRun RunScenario(const ServerProcess& server, const std::vector<std::string>& extra = {}) {
    (void)Prepare(server.folder(), 50);
    // Under Wine every request takes many times longer; the run waits for all of them.
    std::vector<std::string> arguments = {"--scenario", "morning", "--folder", server.folder(), "--workstations", "50",
                                          "--ramp", "2", "--port", std::to_string(server.port()), "--server-pid",
                                          std::to_string(server.pid())};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return RunTool(LoadGeneratorPath(), arguments, {}, std::chrono::seconds(110));
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

TEST(MorningScenario, WorkstationsTheServerDropsFailTheRunWithoutHoldingItUp) {
    // The console, the five older sessions and the first 24 workstations fit under the limit;
    // the server closes the other workstations' connections as they come.
    ServerProcess server(ServerOptions{.extraRegistry = kStatisticsOn + "\"MaxConnectionsPerAddress\"=\"30\"\r\n"});
    ASSERT_TRUE(server.Start()) << server.failure();
    ToolRun run = RunScenario(server);
    EXPECT_EQ(run.exitStatus, 1) << run.out << run.err;
    EXPECT_EQ(Value(run.out, "lost_connections"), 26) << run.out;
    EXPECT_EQ(Value(run.out, "startup_n"), 24) << run.out;
    // Their messages were acknowledged and never collected.
    EXPECT_GT(Value(run.out, "lost"), 0) << run.out;
}

TEST(MorningScenario, AProfilerIsToldWhenTheWindowOpensAndCloses) {
    ServerProcess server(ServerOptions{.extraRegistry = kStatisticsOn});
    ASSERT_TRUE(server.Start()) << server.failure();
    TempFolder fifos;
    std::string control = fifos / "control", ack = fifos / "ack";
    ASSERT_EQ(::mkfifo(control.c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo(ack.c_str(), 0600), 0);
    // A profiler's side: each command read is acknowledged, as perf stat --control does.
    std::vector<std::string> heard;
    std::thread profiler([&] {
        std::ifstream commands(control);
        std::ofstream answers(ack);
        for (std::string line; heard.size() < 2 && std::getline(commands, line);) {
            heard.push_back(line);
            answers << "ack" << std::endl;
        }
    });
    ToolRun run = RunScenario(server, {"--window-control", control + "," + ack});
    // Should the tool have ended without the fifos, the profiler's side is let go of.
    int writer = ::open(control.c_str(), O_WRONLY | O_NONBLOCK);
    int reader = ::open(ack.c_str(), O_RDONLY | O_NONBLOCK);
    if (writer >= 0) ::close(writer);
    profiler.join();
    if (reader >= 0) ::close(reader);
    EXPECT_EQ(run.exitStatus, 0) << run.out << run.err;
    EXPECT_EQ(heard, (std::vector<std::string>{"enable", "disable"}));
}

// The reference server the benchmark measures against, on a prepared folder.
class ReferenceServer {
public:
    explicit ReferenceServer(const std::string& folder) {
        std::string output = folder + "/reference.txt";
        pid_ = ::fork();
        if (pid_ == 0) {
            if (std::freopen(output.c_str(), "w", stdout) == nullptr) ::_exit(126);
            std::string program = std::string(VSERVER_TOOLS_DIR) + "/morningsrv";
            ::execl(program.c_str(), program.c_str(), "0", folder.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        const std::string marker = "listening on port ";
        WaitUntil([&] { return ReadFile(output).find(marker) != std::string::npos; });
        std::string text = ReadFile(output);
        if (std::size_t at = text.find(marker); at != std::string::npos) port_ = std::atoi(text.c_str() + at + marker.size());
    }
    ~ReferenceServer() {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
    int port() const { return port_; }
    int pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int port_ = 0;
};

TEST(MorningScenario, TheReferenceServerAnswersAsTheServerDoes) {
    SKIP_FOR_WINDOWS_SERVER("the reference server is a Linux program; no part of the server under test runs");
    TempFolder folder;
    ASSERT_TRUE(Prepare(folder.path(), 30));
    ReferenceServer reference(folder.path());
    ASSERT_GT(reference.port(), 0) << ReadFile(folder / "reference.txt");
    ToolRun run = RunTool(LoadGeneratorPath(), {"--scenario", "morning", "--folder", folder.path(), "--workstations", "30",
                                                "--ramp", "1", "--port", std::to_string(reference.port()), "--server-pid",
                                                std::to_string(reference.pid())});
    EXPECT_EQ(run.exitStatus, 0) << run.out << run.err;
    EXPECT_EQ(Value(run.out, "errors"), 0) << run.out;
    EXPECT_EQ(Value(run.out, "delivered"), Value(run.out, "acknowledged")) << run.out;
}

TEST(MorningScenario, TheToolStartsAndStopsTheServerItself) {
    SKIP_FOR_WINDOWS_SERVER("the tool starts the Linux binary it is given");
    TempFolder folder;
    ASSERT_TRUE(Prepare(folder.path(), 20));
    ToolRun run = RunTool(LoadGeneratorPath(), {"--scenario", "morning", "--folder", folder.path(), "--workstations", "20",
                                                "--ramp", "1", "--server", VSERVER_BINARY});
    EXPECT_EQ(run.exitStatus, 0) << run.out << run.err;
    EXPECT_EQ(Value(run.out, "errors"), 0) << run.out;
    EXPECT_GT(Value(run.out, "server_write_bytes_per_ws"), 0) << run.out;
    EXPECT_TRUE(PathExists(folder / "VServerService"));
    EXPECT_NE(ReadFile(folder / "ServiceLog.log").find("Service ending normally"), std::string::npos);
}

TEST(MorningScenario, AServerThatCannotStartIsReportedWithItsServiceLog) {
    SKIP_FOR_WINDOWS_SERVER("the tool starts the Linux binary it is given");
    TempFolder folder;
    ASSERT_TRUE(Prepare(folder.path(), 5));
    WriteFile(folder / "VServerService.reg", "REGEDIT4\r\n");   // not registered
    ToolRun run = RunTool(LoadGeneratorPath(), {"--scenario", "morning", "--folder", folder.path(), "--workstations", "5",
                                                "--server", VSERVER_BINARY});
    EXPECT_EQ(run.exitStatus, 3) << run.out << run.err;
    EXPECT_NE(run.err.find("did not start"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("not registered"), std::string::npos) << run.err;
}

TEST(MorningScenario, AFolderNotPreparedAndOptionsOfNoScenarioAreRefused) {
    TempFolder folder;
    ToolRun unprepared = RunTool(LoadGeneratorPath(), {"--scenario", "morning", "--folder", folder.path(), "--port", "1"});
    EXPECT_EQ(unprepared.exitStatus, 2) << unprepared.out << unprepared.err;
    EXPECT_NE(unprepared.err.find("no preference file for user0"), std::string::npos) << unprepared.err;
    ToolRun noFolder = RunTool(LoadGeneratorPath(), {"--scenario", "morning", "--ramp", "3"});
    EXPECT_EQ(noFolder.exitStatus, 2) << noFolder.err;
    EXPECT_NE(noFolder.err.find("needs the --folder"), std::string::npos) << noFolder.err;
    ToolRun stray = RunTool(LoadGeneratorPath(), {"--connections", "5", "--workstations", "5"});
    EXPECT_EQ(stray.exitStatus, 2) << stray.err;
    ToolRun mixed = RunTool(LoadGeneratorPath(), {"--scenario", "morning", "--folder", folder.path(), "--logon-cycles"});
    EXPECT_EQ(mixed.exitStatus, 2) << mixed.err;
}

} // namespace
} // namespace vserver::test
