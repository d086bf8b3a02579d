// The server as a whole over real TCP: greeting, framing, the common completion, connection
// handling and the lifetime of the process.

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "ServerHarness.h"

using namespace vserver;
using namespace vserver::test;

namespace {

const std::string kVersionRequest = "12\xA7\xA7\xA7" "207\xBB\n";
const std::string kVersionReply = "31 a7 31 32 a7 32 30 37 a7 39 2e 30";

class Foundation : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.Start()) << server.failure(); }

    std::string Read(client::Connection& c) {
        auto m = c.ReadMessage(10s);
        EXPECT_TRUE(m.has_value());
        return m ? Hex(*m) : "(none)";
    }

    ServerProcess server{ServerOptions{.extraRegistry =
        "[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Options]\r\n"
        "\"AllowConsoleRequestsFromAnyConnection\"=\"True\"\r\n"}};
};

} // namespace

TEST_F(Foundation, WorkedExampleByteForByteWholeAndSplit) {
    auto c = server.Connect();
    ASSERT_TRUE(c.SendRaw(kVersionRequest));
    EXPECT_EQ(Read(c), kVersionReply);

    ASSERT_TRUE(c.SendRaw("12\xA7\xA7\xA7" "2"));
    EXPECT_TRUE(c.ExpectSilence(200ms));
    ASSERT_TRUE(c.SendRaw("07\xBB\n"));
    EXPECT_EQ(Read(c), kVersionReply);
}

TEST_F(Foundation, EveryRequestOfAChunkIsAnsweredInOrder) {
    auto c = server.Connect();
    ASSERT_TRUE(c.SendRaw("5\xA7\xA7\xA7" "2\xBB\n" "12\xA7\xA7\xA7" "207\xBB\n" "6\xA7\xA7\xA7" "2\xBB"));
    EXPECT_EQ(Read(c), "31 a7 35");
    EXPECT_EQ(Read(c), kVersionReply);
    EXPECT_EQ(Read(c), "31 a7 36");
}

TEST_F(Foundation, PartialMessagesOfTwoConnectionsStayApart) {
    auto a = server.Connect();
    auto b = server.Connect();
    ASSERT_TRUE(a.SendRaw("12\xA7\xA7"));
    ASSERT_TRUE(b.SendRaw("5\xA7\xA7"));
    ASSERT_TRUE(a.SendRaw("\xA7" "2"));
    ASSERT_TRUE(b.SendRaw("\xA7" "2\xBB\n"));
    EXPECT_EQ(Read(b), "31 a7 35");
    ASSERT_TRUE(a.SendRaw("07\xBB"));
    EXPECT_EQ(Read(a), kVersionReply);
    EXPECT_TRUE(b.ExpectSilence(100ms));
}

TEST_F(Foundation, CompletionFormsAndRequestsWithoutReply) {
    auto c = server.Connect();
    c.SendRaw("5\xA7\xA7\xA7" "2\xBB\n");
    EXPECT_EQ(Read(c), "31 a7 35");
    // Id 0, an answer to a liveness check, and an empty request get no reply at all.
    c.SendRaw("0\xA7\xA7\xA7" "2\xBB\n" "9\xA7\xA7\xA7" "1\xBB\n" "\xBB\n" "x\xA7\xA7\xA7" "207\xBB\n");
    EXPECT_TRUE(c.ExpectSilence(300ms));
    c.SendRaw("3\xA7\xA7\xA7" "999\xBB\n");
    EXPECT_EQ(Read(c), "31 a7 33 a7 39 39 39 a7");
    c.SendRaw("3\xA7\xA7\xA7" "150\xBB\n");
    EXPECT_EQ(Read(c), "31 a7 33");
    c.SendRaw("4\xA7\xA7\xA7" "abc\xBB\n");
    EXPECT_EQ(Read(c), "31 a7 34");
    auto texts = server.ServiceLogTexts();
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "Unknown incoming message type, unable to process"), 4);
}

TEST_F(Foundation, OptionsReadWriteAndReload) {
    auto c = server.Connect();
    auto reply = [&](int id, int type, std::string name, std::string value) {
        client::Request r{.id = id, .type = type, .argument1 = std::move(name), .argument2 = std::move(value)};
        return Exchange(c, r);
    };
    EXPECT_EQ(reply(1, 206, "Greeting", "hello"), "1\xA7" "1\xA7" "206\xA7hello");
    EXPECT_EQ(reply(2, 817, "Greeting", "Welcome back"), "1\xA7" "2\xA7" "817\xA7True");
    EXPECT_EQ(reply(3, 206, "greeting", "hello"), "1\xA7" "3\xA7" "206\xA7Welcome back");
    EXPECT_EQ(reply(4, 817, "Empty", ""), "1\xA7" "4\xA7" "817\xA7True");
    EXPECT_EQ(reply(5, 206, "Empty", "fallback"), "1\xA7" "5\xA7" "206\xA7" "fallback");
    EXPECT_EQ(reply(6, 809, "", ""), "1\xA7" "6\xA7" "809\xA7True");
    EXPECT_NE(ReadFile(server.registryPath()).find("\"Greeting\"=\"Welcome back\""), std::string::npos);
}

TEST_F(Foundation, OverlongPartialMessageClosesOnlyThatConnection) {
    auto bad = server.Connect();
    auto good = server.Connect();
    std::string flood(70 * 1024, 'x');
    bad.SendRaw(flood);
    EXPECT_FALSE(bad.ReadMessage(10s).has_value());
    EXPECT_TRUE(bad.closed());
    EXPECT_TRUE(server.WaitForLogText("message longer than 65536 bytes"));
    good.SendRaw(kVersionRequest);
    EXPECT_EQ(Read(good), kVersionReply);
}

TEST_F(Foundation, AClientThatNeverReadsIsClosedOnceItsBacklogPassesTheBound) {
    auto reader = server.Connect();
    auto hog = server.Connect();
    // Each request's reply is 13 bytes; 40 MB of requests make far more than 4 MiB of replies.
    std::string batch;
    for (int i = 0; i < 10000; ++i) batch += "1\xA7\xA7\xA7" "207\xBB";
    for (int i = 0; i < 500 && hog.SendRaw(batch); ++i) {
        if (server.WaitForLogText("does not read its replies", 0ms)) break;
    }
    EXPECT_TRUE(server.WaitForLogText("does not read its replies"));
    reader.SendRaw(kVersionRequest);
    EXPECT_EQ(Read(reader), kVersionReply);
}

TEST_F(Foundation, AThousandConnectionsAreGreetedAndAnswered) {
    std::vector<client::Connection> clients;
    clients.reserve(1000);
    for (int i = 0; i < 1000; ++i) clients.push_back(server.Connect());
    for (auto& c : clients) ASSERT_TRUE(c.SendRaw(kVersionRequest));
    for (auto& c : clients) ASSERT_EQ(Read(c), kVersionReply);
}

TEST(Lifetime, StopWithoutClientsEndsNormally) {
    ServerProcess server;
    ASSERT_TRUE(server.Start()) << server.failure();
    { auto c = server.Connect(); }
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(server.Stop(SIGTERM), 0);
    auto texts = server.ServiceLogTexts();
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.back(), "Service ending normally");
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "Can't shut down server object"), 0);
    EXPECT_NE(server.StandardOutput().find("Service started\n"), std::string::npos);
}

TEST(Lifetime, StopWithClientsConnectedIsRefusedButTheProcessEnds) {
    ServerProcess server;
    ASSERT_TRUE(server.Start()) << server.failure();
    auto c = server.Connect();
    EXPECT_EQ(server.Stop(SIGINT), 0);
    auto texts = server.ServiceLogTexts();
    std::vector<std::string> tail(texts.end() - 3, texts.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"Attempt to shut down server while clients are connected",
                                              "Can't shut down server object", "Service ending normally"}));
}

TEST(Lifetime, PortInUseFailsInitialisationCleanly) {
    ServerProcess first;
    ASSERT_TRUE(first.Start()) << first.failure();
    ServerProcess second{ServerOptions{.portNumber = std::to_string(first.port())}};
    second.Launch();
    // The fixed sentences stay; the line after the first names the port and the system error,
    // and the exit status lets a service manager restart the server.
    ExpectStartUpFailure(second, "Unable to initialize server, can't open incoming port",
                         {"port " + std::to_string(first.port()), "Address already in use"});
    auto texts = second.ServiceLogTexts();
    EXPECT_NE(std::find(texts.begin(), texts.end(), "Can't initialize server object"), texts.end());
    EXPECT_EQ(texts.back(), "Service ending normally");
    EXPECT_EQ(second.StandardError(), "VServerService: Unable to initialize server, can't open incoming port: unable to "
                                      "listen on port " + std::to_string(first.port()) + ": bind: Address already in use\n");
    EXPECT_EQ(second.StandardOutput().find("Service started"), std::string::npos);
    EXPECT_NE(second.StandardError().find("port " + std::to_string(first.port())), std::string::npos)
        << second.StandardError();
}

TEST(Lifetime, AcceptFailureKeepsServing) {
#ifdef VSERVER_SANITIZED_BUILD
    // The sanitizer runtime needs descriptors of its own to check memory, so it reports false
    // errors once the process has none left.
    GTEST_SKIP() << "descriptor exhaustion cannot be tested under the sanitizers";
#endif
    SKIP_FOR_WINDOWS_SERVER("the descriptor limit cannot bind a Wine process: its sockets live in wineserver");
    ServerProcess server{ServerOptions{.openFileLimit = 24}};
    ASSERT_TRUE(server.Start()) << server.failure();
    {
        // More clients than descriptors: some cannot be accepted (and some cannot even
        // connect while the backlog is full, which is the system's business, not ours).
        std::vector<client::Connection> clients(30);
        for (auto& c : clients) c.Open("127.0.0.1", server.port(), 500ms, nullptr);
        EXPECT_TRUE(server.WaitForLogText("Unable to accept client connection request"));
    }
    // Once the refused clients have gone, accepting resumes and new clients are served.
    std::this_thread::sleep_for(300ms);
    auto c = server.Connect();
    c.SendRaw(kVersionRequest);
    auto reply = c.ReadMessage(10s);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(Hex(*reply), kVersionReply);
    EXPECT_EQ(server.Stop(SIGTERM), 0);
}
