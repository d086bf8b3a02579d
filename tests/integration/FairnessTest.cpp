// No client can stall or flood the others: floods of end bytes, pipelined bursts, unfinished
// messages, locks held by other processes and bursts of connects.

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>

#include "ServerHarness.h"

namespace {

using namespace vserver;
using namespace vserver::test;

const std::string kUnknownType = "Unknown incoming message type, unable to process";

client::Request Version(long long id) { return client::Request{.id = id, .type = 207}; }

// Lifts this process's descriptor limit so a test can hold count sockets; false when the
// hard limit does not allow it.
bool AllowDescriptors(rlim_t count) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_max < count) return false;
    if (limit.rlim_cur < count) {
        limit.rlim_cur = count;
        return ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
    }
    return true;
}

// The number N in each "(N more from connection index ...)" line.
long long LeftOutCount(const std::vector<std::string>& texts) {
    long long total = 0;
    for (const std::string& text : texts) {
        if (text.rfind(kUnknownType + " (", 0) == 0) total += std::stoll(text.substr(kUnknownType.size() + 2));
    }
    return total;
}

TEST(Flood, EndBytesAloneWriteAFewLinesAndCountTheRest) {
    ServerProcess server;
    ASSERT_TRUE(server.Start()) << server.failure();
    client::Connection flood = server.Connect();
    constexpr long long kEndBytes = 200000;
    const std::string chunk(10000, '\xBB');
    for (long long sent = 0; sent < kEndBytes; sent += static_cast<long long>(chunk.size())) {
        ASSERT_TRUE(flood.SendRaw(chunk));
    }
    // Every byte is still an (empty) request of unknown type, served in order.
    EXPECT_EQ(Exchange(flood, Version(7)), Completion(7, 207, "9.0"));
    flood.Close();

    auto exact = [&] {
        auto texts = server.ServiceLogTexts();
        return std::count(texts.begin(), texts.end(), kUnknownType);
    };
    // Each request is either logged or counted in a later line, never both, never neither.
    EXPECT_TRUE(WaitUntil([&] { return exact() + LeftOutCount(server.ServiceLogTexts()) == kEndBytes; }))
        << exact() << " lines, " << LeftOutCount(server.ServiceLogTexts()) << " left out";
    // A few lines per second of flooding: a thousand would take minutes.
    EXPECT_LT(exact(), 1000);
}

// The server is stopped while a pipelined burst of listings and another client's listing
// arrive together, so both are waiting when it goes on. The burst creates an account after
// every 40 listings; the other client's listing shows how much of the burst went first.
TEST(Fairness, APipelinedBurstLetsAnotherClientIn) {
    ServerProcess server(ServerOptions{.extraRegistry = kOpenConsole});
    ASSERT_TRUE(server.Start()) << server.failure();
    for (int i = 0; i < 50; ++i) MakeFolder(server.usersFolder() + "/pupil" + std::to_string(i));
    client::Connection burst = server.Connect();
    client::Connection other = server.Connect();

    std::string requests;
    long long id = 1;
    for (int mark = 0; mark < 10; ++mark) {
        for (int i = 0; i < 40; ++i) requests += client::EncodeRequest(client::Request{.id = id++, .type = 100});
        requests += client::EncodeRequest(client::Request{.id = id++, .type = 807, .argument1 = "mark" + std::to_string(mark)});
    }
    ASSERT_EQ(::kill(server.pid(), SIGSTOP), 0);
    ASSERT_TRUE(burst.SendRaw(requests));
    ASSERT_TRUE(other.Send(client::Request{.id = 1, .type = 100}));
    std::this_thread::sleep_for(50ms);  // let loopback hand both over before the server goes on
    ASSERT_EQ(::kill(server.pid(), SIGCONT), 0);

    auto reply = other.ReadMessage(30s);
    ASSERT_TRUE(reply.has_value());
    std::size_t marksFirst = 0;
    for (std::size_t at = reply->find("mark"); at != std::string::npos; at = reply->find("mark", at + 1)) ++marksFirst;
    EXPECT_LE(marksFirst, 1u) << "the other client waited for most of the burst";

    // The burst itself is answered completely and in order.
    for (long long expected = 1; expected < id; ++expected) {
        auto message = burst.ReadMessage(30s);
        ASSERT_TRUE(message.has_value()) << expected;
        ASSERT_EQ(client::ParseReply(*message).id, std::to_string(expected));
    }
}

TEST(PartialMessages, TheirTotalIsCappedByClosingTheLargestHolders) {
    constexpr int kConnections = 600;
    constexpr std::size_t kHeld = 60000;
    ASSERT_TRUE(AllowDescriptors(kConnections + 100));
    ServerProcess server;
    ASSERT_TRUE(server.Start()) << server.failure();
    std::vector<client::Connection> clients;
    for (int i = 0; i < kConnections; ++i) {
        clients.push_back(server.Connect());
        // A request for the version whose label makes it long; its end byte comes later.
        std::string head = std::to_string(i + 1) + "\xA7\xA7\xA7" "207\xA7";
        // The server may close this one before it has sent everything.
        (void)clients.back().SendRaw(head + std::string(kHeld - head.size(), 'x'));
    }
    // The survivors finish their messages and are answered; the others were closed.
    int answered = 0;
    int closed = 0;
    for (int i = 0; i < kConnections; ++i) {
        clients[i].SendRaw("\xBB\n");
        auto reply = clients[i].ReadMessage(30s);
        if (reply) {
            EXPECT_EQ(client::ParseReply(*reply).id, std::to_string(i + 1));
            ++answered;
        } else {
            EXPECT_TRUE(clients[i].closed()) << i;
            ++closed;
        }
    }
    EXPECT_GT(closed, 0);
    EXPECT_GT(answered, 0);
    auto texts = server.ServiceLogTexts();
    auto closings = std::count_if(texts.begin(), texts.end(), [](const std::string& t) {
        return t.find("unfinished messages of all connections passed") != std::string::npos;
    });
    EXPECT_EQ(closings, closed);
    client::Connection late = server.Connect();
    EXPECT_EQ(Exchange(late, Version(1)), Completion(1, 207, "9.0"));
}

TEST(Locks, AHeldRegistryLockDelaysOnlyTheWriteThatNeedsIt) {
    ServerProcess server(ServerOptions{.extraRegistry = kOpenConsole});
    ASSERT_TRUE(server.Start()) << server.failure();
    client::Connection console = server.Connect();
    client::Connection other = server.Connect();
    auto holder = std::make_unique<LockHolder>(server.registryPath() + ".lock");
    ASSERT_TRUE(holder->locked());

    ASSERT_TRUE(console.Send(client::Request{.id = 5, .type = 817, .argument1 = "Colour", .argument2 = "Blue"}));
    // Served while the write waits for the lock, on another connection and on the same one.
    EXPECT_EQ(Exchange(other, Version(6)), Completion(6, 207, "9.0"));
    EXPECT_EQ(Exchange(console, Version(7)), Completion(7, 207, "9.0"));
    EXPECT_EQ(ReadFile(server.registryPath()).find("Colour"), std::string::npos);

    holder.reset();
    auto written = console.ReadMessage(20s);
    ASSERT_TRUE(written.has_value());
    EXPECT_EQ(*written, Completion(5, 817, "True"));
    EXPECT_NE(ReadFile(server.registryPath()).find("\"Colour\"=\"Blue\""), std::string::npos);
}

TEST(Locks, AHeldServiceLogLockKeepsRecordsInOrderUntilItFrees) {
    ServerProcess server;
    ASSERT_TRUE(server.Start()) << server.failure();
    client::Connection c = server.Connect();
    auto holder = std::make_unique<LockHolder>(LockedPath(server.installPath("ServiceLog.log")));
    ASSERT_TRUE(holder->locked());

    // Unknown types write a line each; none waits for the lock.
    for (int i = 1; i <= 3; ++i) EXPECT_EQ(Exchange(c, client::Request{.id = i, .type = 700}), "1\xA7" + std::to_string(i));
    ASSERT_TRUE(c.Send(client::Request{.id = 4, .type = 800}));  // refused: not the console
    EXPECT_EQ(c.ReadMessage(10s).value_or(""), Completion(4, 800, "False"));
    auto texts = server.ServiceLogTexts();
    EXPECT_EQ(std::count(texts.begin(), texts.end(), kUnknownType), 0);

    holder.reset();
    EXPECT_TRUE(WaitUntil([&] {
        auto now = server.ServiceLogTexts();
        return !now.empty() && now.back().find("request type 800") != std::string::npos;
    }));
    texts = server.ServiceLogTexts();
    ASSERT_GE(texts.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(texts.end() - 4, texts.end() - 1),
              std::vector<std::string>(3, kUnknownType));
    const std::string log = server.ServiceLog();
    EXPECT_EQ(log.find('\0'), log.size() - 1);
}

TEST(Connects, ABurstOfTwoThousandIsGreetedInFull) {
    constexpr int kClients = 2000;
    if (!AllowDescriptors(kClients + 100)) GTEST_SKIP() << "descriptor limit too low";
    ServerProcess server(ServerOptions{.openFileLimit = kClients + 200});
    ASSERT_TRUE(server.Start()) << server.failure();

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(server.port()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::vector<pollfd> sockets;
    for (int i = 0; i < kClients; ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ASSERT_GE(fd, 0);
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        sockets.push_back(pollfd{fd, POLLIN, 0});
    }
    int greeted = 0;
    std::vector<bool> done(kClients, false);
    auto deadline = std::chrono::steady_clock::now() + 60s;
    while (greeted < kClients && std::chrono::steady_clock::now() < deadline) {
        ASSERT_GE(::poll(sockets.data(), sockets.size(), 100), 0);
        for (int i = 0; i < kClients; ++i) {
            if (done[i] || (sockets[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            char buffer[16];
            ssize_t got = ::recv(sockets[i].fd, buffer, sizeof buffer, 0);
            done[i] = true;
            sockets[i].events = 0;
            if (got > 0 && std::string_view(buffer, static_cast<std::size_t>(got)) == client::kGreeting) ++greeted;
        }
    }
    for (const pollfd& p : sockets) ::close(p.fd);
    EXPECT_EQ(greeted, kClients);
}

} // namespace
