// vserver-load against the real server: a short run with a few connections must see every
// reply right and report a rate; idle connections must stay open.

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

} // namespace
} // namespace vserver::test
