// A collection's items leave the queue only once the client has shown it read the reply (its
// next request, or an orderly end of the connection), and no item goes out twice while its
// first delivery is still open: whatever other collections, appends and rewrites of the queue
// file happen in between.

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <thread>

#include "QueueRequests.h"
#include "ServerHarness.h"

namespace {

using namespace vserver;
using namespace vserver::test;

client::Request Version(long long id) { return client::Request{.id = id, .type = 207}; }

class Delivery : public ::testing::Test {
protected:
    Delivery() {
        EXPECT_TRUE(server.Start()) << server.failure();
        console = server.Connect();
    }
    void QueueFor(const std::string& account, const std::string& payload) {
        const long long id = nextId++;
        ASSERT_EQ(Exchange(console, Queue(id, account, payload)), Completion(id, 810, "True"));
    }
    // A collection's result, by a client that goes on to show it read it when it sends again.
    std::string Collected(client::Connection& c, const std::string& account) {
        const long long id = nextId++;
        std::string reply = Exchange(c, Collect(id, account), 30s);
        client::Reply parsed = client::ParseReply(reply);
        EXPECT_EQ(parsed.id, std::to_string(id));
        return parsed.result;
    }
    // The next request, which shows the client read everything before it.
    void ShowRead(client::Connection& c) {
        const long long id = nextId++;
        EXPECT_EQ(Exchange(c, Version(id)), Completion(id, 207, "9.0"));
    }
    std::string queue() const { return server.installPath("UserMessages.log"); }

    ServerProcess server{ServerOptions{.extraRegistry = kOpenConsole}};
    client::Connection console;
    long long nextId = 1;
};

// The sequence that lost items when a late removal went by the file's identity: while one
// client's large reply waits unread, other collections replace the file (twice, so the file
// system may hand the first file's number out again) and new items arrive.
TEST_F(Delivery, AReplyReadLateRemovesExactlyItsItemsWhateverReplacedTheQueueMeanwhile) {
    std::string expected;
    for (int i = 1; i <= 20; ++i) {
        std::string payload = "a1 part " + std::to_string(i) + " " + std::string(50000, 'x');
        QueueFor("A", payload);
        expected += (expected.empty() ? "" : "\xB0") + payload;
    }
    QueueFor("B", "b1");
    client::Connection slow = server.Connect();
    ASSERT_TRUE(slow.Send(Collect(500, "A")));   // read much later

    // Another client's collection of A gets nothing of what slow has out.
    client::Connection other = server.Connect();
    EXPECT_EQ(Collected(other, "A"), "");
    client::Connection y = server.Connect();
    EXPECT_EQ(Collected(y, "B"), "b1");
    ShowRead(y);
    QueueFor("A", "a2");
    QueueFor("A", "a3");
    QueueFor("B", "b2");
    client::Connection z = server.Connect();
    EXPECT_EQ(Collected(z, "B"), "b2");
    ShowRead(z);

    EXPECT_EQ(slow.ReadMessage(30s).value_or(""), Completion(500, 208, expected));
    ShowRead(slow);
    client::Connection fresh = server.Connect();
    EXPECT_EQ(Collected(fresh, "A"), "a2\xB0" "a3");
    ShowRead(fresh);
    EXPECT_TRUE(WaitUntil([&] { return ReadQueue(queue()).payloads.empty(); }));
}

// A client process killed with its reply unread resets its connection: its items come again.
TEST_F(Delivery, ItemsOfAReplyLostWithItsClientComeAgain) {
    // Wine reports a reset connection to the program as an orderly end (recv gives 0 and the
    // close notice no error), so there the two cannot be told apart; Windows reports the reset.
    SKIP_FOR_WINDOWS_SERVER("Wine reports a reset connection as an orderly end");
    QueueFor("jsmith", "one");
    QueueFor("jsmith", "two");
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const int port = server.port();
    pid_t child = ::fork();
    if (child == 0) {
        client::Connection c;
        if (!c.Open("127.0.0.1", port, 10s, nullptr) || !c.ReadMessage(10s) || !c.Send(Collect(7, "jsmith"))) {
            ::_exit(1);
        }
        // Waits until the reply is here, then says so and waits to be killed without reading it.
        pollfd in{static_cast<int>(c.nativeHandle()), POLLIN, 0};
        (void)::poll(&in, 1, 10000);
        (void)!::write(ready[1], "r", 1);
        ::pause();
        ::_exit(0);
    }
    char signal = 0;
    ASSERT_EQ(::read(ready[0], &signal, 1), 1);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);

    client::Connection again = server.Connect();
    std::string result;
    // Until the server has seen the reset, the items are still out with the killed client.
    EXPECT_TRUE(WaitUntil([&] { return !(result = Collected(again, "jsmith")).empty(); }));
    EXPECT_EQ(result, "one\xB0two");
}

// A client that read its reply and ended the connection in order has its items for good.
TEST_F(Delivery, ItemsOfAReplyReadBeforeAnOrderlyEndAreGone) {
    QueueFor("jsmith", "one");
    QueueFor("jsmith", "two");
    client::Connection reader = server.Connect();
    EXPECT_EQ(Collected(reader, "jsmith"), "one\xB0two");
    reader.Close();
    EXPECT_TRUE(WaitUntil([&] { return !PathExists(queue()); }));
    client::Connection later = server.Connect();
    EXPECT_EQ(Collected(later, "jsmith"), "");
}

// Collectors of three accounts, two connections each, collect in a loop while the console
// queues for them and for accounts nobody collects (so every removal rewrites the file): every
// acknowledged item reaches its account exactly once, and nothing else stays in the file.
TEST_F(Delivery, ConcurrentCollectorsAndAQueueingConsoleLoseAndRepeatNothing) {
    constexpr int kAccounts = 3;
    constexpr int kItems = 240;
    std::atomic<bool> consoleDone{false};
    std::vector<std::multiset<std::string>> delivered(kAccounts * 2);
    std::vector<std::thread> collectors;
    const int port = server.port();
    for (int n = 0; n < kAccounts * 2; ++n) {
        collectors.emplace_back([&, n] {
            client::Connection c;
            if (!c.Open("127.0.0.1", port, 10s, nullptr) || !c.ReadMessage(10s)) return;
            const std::string account = "pupil" + std::to_string(n % kAccounts);
            for (long long id = 1;; ++id) {
                const bool last = consoleDone.load();
                if (!c.Send(Collect(id, account))) return;
                auto message = c.ReadMessage(30s);
                if (!message) return;
                for (const std::string& p : Split(client::ParseReply(*message).result, '\xB0')) delivered[n].insert(p);
                if (last) break;
            }
            // Shows the last reply was read.
            (void)c.Send(Version(9999));
            (void)c.ReadMessage(30s);
        });
    }
    std::map<std::string, std::multiset<std::string>> acknowledged;
    for (int i = 0; i < kItems; ++i) {
        const std::string account = i % 4 == 3 ? "nobody" : "pupil" + std::to_string(i % kAccounts);
        const std::string payload = "item " + std::to_string(i);
        QueueFor(account, payload);
        acknowledged[account].insert(payload);
    }
    consoleDone = true;
    for (std::thread& t : collectors) t.join();

    for (int a = 0; a < kAccounts; ++a) {
        const std::string account = "pupil" + std::to_string(a);
        std::multiset<std::string> got = delivered[a];
        got.insert(delivered[a + kAccounts].begin(), delivered[a + kAccounts].end());
        EXPECT_EQ(got, acknowledged[account]) << account;
    }
    std::multiset<std::string> left;
    EXPECT_TRUE(WaitUntil([&] {
        QueueFile file = ReadQueue(queue());
        left = std::multiset<std::string>(file.payloads.begin(), file.payloads.end());
        return left == acknowledged["nobody"];
    }));
    EXPECT_EQ(left, acknowledged["nobody"]);
}

} // namespace
