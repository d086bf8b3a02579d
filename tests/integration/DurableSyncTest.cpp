// Acknowledged means on disk: a preference write and a queued item are answered only after
// their sync, writes of one file never lose each other's values, a connection's replies keep
// their order while its writes wait, and a client that leaves mid-sync loses nothing.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <map>
#include <set>

#include "ServerHarness.h"

namespace {

using namespace vserver;
using namespace vserver::test;

// prefix followed by n (appended, which keeps the compiler's overlap check quiet).
std::string Named(std::string prefix, int n) {
    prefix += std::to_string(n);
    return prefix;
}

client::Request Queue(long long id, const std::string& account, const std::string& payload) {
    return client::Request{.id = id, .type = 810, .argument1 = account, .argument2 = payload};
}

client::Request WriteValue(long long id, const std::string& account, const std::string& key, const std::string& value) {
    return client::Request{.id = id, .type = 203, .account = account, .argument2 = key + "\xB0General\xB0" + value};
}

client::Request Version(long long id) { return client::Request{.id = id, .type = 207}; }

std::string ShortCompletion(long long id) { return "1\xA7" + std::to_string(id); }

// The value of key in a preference file's [General] section, or nothing.
std::optional<std::string> ValueIn(const std::string& file, const std::string& key) {
    const std::string text = PathExists(file) ? ReadFile(file) : std::string();
    const std::string start = "\n" + key + "=";
    std::size_t at = text.find(start);
    if (at == std::string::npos) return std::nullopt;
    at += start.size();
    return text.substr(at, text.find('\r', at) - at);
}

// How many times payload is stored in a queue file.
int CountRecords(const std::string& queueFile, const std::string& account, const std::string& payload) {
    return CountLinesStartingWith(queueFile, account + "\xA6" + payload + "\r\n");
}

class DurableSync : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.Start()) << server.failure();
        MakeFolder(server.usersFolder() + "/pupil");
        WriteFile(prefs, "[General]\r\nFontSize=12\r\n");
    }

    TempFolder traceFolder;
    std::string trace = traceFolder / "sync-trace";
    ServerProcess server{ServerOptions{.extraRegistry = kOpenConsole, .environment = {{"VSERVER_SYNC_TRACE", trace}}}};
    std::string prefs = server.usersFolder() + "/pupil/pupilVantorelSettings.vts";
    std::string queue = server.installPath("UserMessages.log");
};

// The platform layer records each finished sync before the loop may answer for it, so when a
// reply arrives the trace must already hold a sync for every write answered so far.
TEST_F(DurableSync, EverySyncIsDoneBeforeItsReply) {
    client::Connection c = server.Connect();
    auto syncsOf = [this](const std::string& file) {
        const std::string text = PathExists(trace) ? ReadFile(trace) : std::string();
        const std::string line = "synced " + ServerPath(file) + "\n";
        int count = 0;
        for (std::size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++count;
        return count;
    };
    for (int i = 1; i <= 10; ++i) {
        ASSERT_EQ(Exchange(c, WriteValue(2 * i, "pupil", "Speed", std::to_string(i))), ShortCompletion(2 * i));
        EXPECT_GE(syncsOf(prefs), i) << "write " << i << " was answered before its sync";
        ASSERT_EQ(Exchange(c, Queue(2 * i + 1, "pupil", "note " + std::to_string(i))), Completion(2 * i + 1, 810, "True"));
        EXPECT_GE(syncsOf(queue), i) << "item " << i << " was answered before its sync";
    }
    EXPECT_EQ(ValueIn(prefs, "Speed"), "10");
}

// Requests sent in one go are answered in their order, although the writes among them wait for
// their syncs and the others would not.
TEST_F(DurableSync, RepliesKeepTheOrderOfTheirRequests) {
    client::Connection c = server.Connect();
    std::string burst;
    std::vector<std::string> expected;
    for (int i = 1; i <= 30; ++i) {
        switch (i % 3) {
        case 0: burst += client::EncodeRequest(WriteValue(i, "pupil", Named("Key", i), "v")); expected.push_back(ShortCompletion(i)); break;
        case 1: burst += client::EncodeRequest(Queue(i, "pupil", Named("m", i))); expected.push_back(Completion(i, 810, "True")); break;
        default: burst += client::EncodeRequest(Version(i)); expected.push_back(Completion(i, 207, "9.0")); break;
        }
    }
    ASSERT_TRUE(c.SendRaw(burst));
    for (const std::string& want : expected) {
        auto got = c.ReadMessage(10s);
        ASSERT_TRUE(got.has_value()) << "no reply for " << Hex(want);
        EXPECT_EQ(*got, want);
    }
}

// A console queues many items at once: each one is in the file before the first is answered, so
// they share their syncs instead of waiting for each other's; past the bound of replies a
// connection may have waiting, the rest wait their turn; every reply keeps its place and says
// True only for a stored item.
TEST_F(DurableSync, QueuedItemsSentTogetherShareTheirSyncsAndKeepTheirReplyOrder) {
    client::Connection c = server.Connect();
    constexpr int kTogether = 20;
    std::string burst;
    for (int i = 1; i <= kTogether; ++i) burst += client::EncodeRequest(Queue(i, "pupil", Named("together ", i)));
    ASSERT_TRUE(c.SendRaw(burst));
    ASSERT_EQ(c.ReadMessage(10s), Completion(1, 810, "True"));
    for (int i = 1; i <= kTogether; ++i) {
        EXPECT_EQ(CountRecords(queue, "pupil", Named("together ", i)), 1) << "item " << i << " waited for the first";
    }
    for (int i = 2; i <= kTogether; ++i) ASSERT_EQ(c.ReadMessage(10s), Completion(i, 810, "True"));

    constexpr int kMany = 300;
    burst.clear();
    for (int i = 1; i <= kMany; ++i) {
        burst += client::EncodeRequest(i % 50 ? Queue(i, "pupil", Named("many ", i)) : Version(i));
    }
    ASSERT_TRUE(c.SendRaw(burst));
    for (int i = 1; i <= kMany; ++i) {
        ASSERT_EQ(c.ReadMessage(10s), i % 50 ? Completion(i, 810, "True") : Completion(i, 207, "9.0"));
        if (i % 50) EXPECT_EQ(CountRecords(queue, "pupil", Named("many ", i)), 1);
    }
}

// Two connections write different keys of one file, each keeping many writes in flight: every
// key is in the file at the end, so no write started from content another was replacing.
TEST_F(DurableSync, WritersOfOneFileDoNotLoseEachOthersValues) {
    client::Connection first = server.Connect();
    client::Connection second = server.Connect();
    constexpr int kWrites = 40;
    std::string a, b;
    for (int i = 1; i <= kWrites; ++i) {
        a += client::EncodeRequest(WriteValue(i, "pupil", Named("A", i), std::to_string(i)));
        b += client::EncodeRequest(WriteValue(i, "PUPIL", Named("B", i), std::to_string(i)));
    }
    ASSERT_TRUE(first.SendRaw(a));
    ASSERT_TRUE(second.SendRaw(b));
    for (int i = 1; i <= kWrites; ++i) {
        ASSERT_EQ(first.ReadMessage(10s), ShortCompletion(i));
        ASSERT_EQ(second.ReadMessage(10s), ShortCompletion(i));
    }
    for (int i = 1; i <= kWrites; ++i) {
        EXPECT_EQ(ValueIn(prefs, Named("A", i)), std::to_string(i));
        EXPECT_EQ(ValueIn(prefs, Named("B", i)), std::to_string(i));
    }
    EXPECT_EQ(ValueIn(prefs, "FontSize"), "12");
}

// A client that closes (or resets) its connection while its writes wait for their syncs gets
// no reply, but its writes are stored, and the server serves on.
TEST_F(DurableSync, AClientLeavingMidSyncLosesNothing) {
    for (bool reset : {false, true}) {
        SCOPED_TRACE(reset ? "reset" : "close");
        const std::string tag = reset ? "reset" : "close";
        {
            client::Connection leaving = server.Connect();
            ASSERT_TRUE(leaving.SendRaw(client::EncodeRequest(WriteValue(1, "pupil", "Left", tag)) +
                                        client::EncodeRequest(Queue(2, "pupil", "left by " + tag))));
            if (reset) {
                linger abort{1, 0};
                ::setsockopt(static_cast<int>(leaving.nativeHandle()), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
            }
        }
        // Writes of the same file and queue wait for, or share, the earlier syncs, so once these
        // are answered the leaving client's are on disk too.
        client::Connection next = server.Connect();
        ASSERT_EQ(Exchange(next, WriteValue(3, "pupil", "After", tag)), ShortCompletion(3));
        ASSERT_EQ(Exchange(next, Queue(4, "pupil", "after " + tag)), Completion(4, 810, "True"));
        // The leaving client's requests may not have been read before it left; when they were,
        // they are stored whole.
        auto left = ValueIn(prefs, "Left");
        EXPECT_TRUE(!left || *left == tag);
        EXPECT_LE(CountRecords(queue, "pupil", "left by " + tag), 1);
        EXPECT_EQ(CountRecords(queue, "pupil", "after " + tag), 1);
    }
    EXPECT_TRUE(server.running());
}

// Kills the server right after a round of acknowledgements from several connections: every
// acknowledged value and item is on disk, each item exactly once.
TEST(DurableSyncKill, EverythingAcknowledgedSurvivesAKill) {
    for (int trial = 0; trial < 3; ++trial) {
        SCOPED_TRACE("trial " + std::to_string(trial));
        ServerProcess server(ServerOptions{.extraRegistry = kOpenConsole});
        ASSERT_TRUE(server.Start()) << server.failure();
        const std::string prefs = server.usersFolder() + "/pupil/pupilVantorelSettings.vts";
        MakeFolder(server.usersFolder() + "/pupil");
        constexpr int kConnections = 6;
        constexpr int kRequests = 30;
        std::vector<client::Connection> connections;
        for (int c = 0; c < kConnections; ++c) {
            connections.push_back(server.Connect());
            std::string burst;
            for (int i = 1; i <= kRequests; ++i) {
                const std::string tag = std::to_string(c) + "-" + std::to_string(i);
                burst += client::EncodeRequest(i % 2 ? Queue(i, "pupil", "item " + tag)
                                                     : WriteValue(i, "pupil", Named("Key", c), tag));
            }
            ASSERT_TRUE(connections.back().SendRaw(burst));
        }
        // Every connection's replies up to a point that differs per trial, then the kill.
        const int wanted = 5 + trial * 10;
        std::map<int, int> answered;
        for (int c = 0; c < kConnections; ++c) {
            for (int i = 1; i <= wanted; ++i) {
                auto reply = connections[c].ReadMessage(10s);
                ASSERT_TRUE(reply.has_value());
                ASSERT_EQ(*reply, i % 2 ? Completion(i, 810, "True") : ShortCompletion(i));
                answered[c] = i;
            }
        }
        ::kill(server.pid(), SIGKILL);
        server.WaitExit();

        const std::string queue = server.installPath("UserMessages.log");
        for (int c = 0; c < kConnections; ++c) {
            for (int i = 1; i <= kRequests; i += 2) {
                const int stored = CountRecords(queue, "pupil", "item " + std::to_string(c) + "-" + std::to_string(i));
                if (i <= answered[c]) {
                    EXPECT_EQ(stored, 1) << "item " << c << "-" << i;
                } else {
                    EXPECT_LE(stored, 1) << "item " << c << "-" << i;
                }
            }
            // The last value this connection saw acknowledged, or a later one of its own.
            auto value = ValueIn(prefs, Named("Key", c));
            ASSERT_TRUE(value.has_value()) << c;
            const int lastAcknowledged = answered[c] % 2 ? answered[c] - 1 : answered[c];
            const int storedIndex = std::stoi(value->substr(value->find('-') + 1));
            EXPECT_EQ(value->substr(0, value->find('-')), std::to_string(c));
            EXPECT_GE(storedIndex, lastAcknowledged);
        }
    }
}

} // namespace
