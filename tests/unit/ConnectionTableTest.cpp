#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "client/ProtocolClient.h"
#include "net/ConnectionTable.h"
#include "net/Network.h"
#include "platform/EventLoop.h"
#include "platform/common/NetAddress.h"

using namespace vserver;
using namespace std::chrono_literals;

namespace {

// The connections' own lines, kept for the test instead of the service log.
std::vector<std::string>& NetLines() {
    static std::vector<std::string> lines;
    return lines;
}

void KeepLine(std::string_view line) { NetLines().emplace_back(line); }

platform::NetAddress Address(const char* text) { return platform::ParseNetAddress(text).value(); }

// A table as the network keeps it, without any application above it.
class ConnectionTableTest : public ::testing::Test {
protected:
    platform::EventLoop loop;
    net::Network network{loop, KeepLine};
    net::ConnectionTable& table = network.connections;

    net::ConnectionRecord& Add(int index, platform::NetAddress peer = {}) {
        return table.Insert(std::make_unique<net::ConnectionRecord>(network, index, platform::kInvalidHandle, peer));
    }
    std::vector<int> Order() const {
        std::vector<int> order;
        for (auto* r = table.newest(); r; r = r->older) order.push_back(r->index);
        return order;
    }
};

} // namespace

TEST_F(ConnectionTableTest, IndicesFollowTheHighestInUse) {
    EXPECT_EQ(network.NextFreeIndex(), 1);
    Add(1);
    Add(2);
    Add(3);
    EXPECT_EQ(Order(), (std::vector<int>{3, 2, 1}));
    table.Remove(3);
    EXPECT_EQ(network.NextFreeIndex(), 3);
    Add(3);
    table.Remove(1);
    EXPECT_EQ(network.NextFreeIndex(), 4);
    EXPECT_EQ(Order(), (std::vector<int>{3, 2}));
}

// A slot given again is a new connection: work that waited on the old one must not find it.
TEST_F(ConnectionTableTest, AReusedSlotIsANewConnection) {
    const std::uint64_t first = Add(1).serial;
    Add(2);
    EXPECT_EQ(network.SerialAt(1), first);
    std::unique_ptr<net::ConnectionRecord> removed = table.Remove(2);
    ASSERT_NE(removed, nullptr);
    EXPECT_EQ(removed->index, 2);
    EXPECT_EQ(table.Remove(2), nullptr);
    EXPECT_EQ(table.Find(2), nullptr);
    EXPECT_EQ(network.SerialAt(2), 0u);

    net::ConnectionRecord& again = Add(2);
    EXPECT_EQ(table.Find(2), &again);
    EXPECT_NE(again.serial, removed->serial);
    EXPECT_EQ(again.accountName, "<Logging On, Index #2...>");
    EXPECT_EQ(table.size(), 2u);
}

TEST_F(ConnectionTableTest, PlaceholderNamesAndAccountLookupNewestFirst) {
    Add(1);
    Add(2);
    Add(3);
    EXPECT_EQ(table.Find(2)->accountName, "<Logging On, Index #2...>");
    EXPECT_EQ(table.FindIndexByAccount("<Logging On, Index #2...>"), 2);
    table.SetAccountName(*table.Find(1), "jsmith");
    table.SetAccountName(*table.Find(3), "jsmith");
    EXPECT_EQ(table.FindIndexByAccount("jsmith"), 3);
    EXPECT_EQ(table.FindIndexByAccount("JSMITH"), -1);
    table.Remove(3);
    EXPECT_EQ(table.FindIndexByAccount("jsmith"), 1);
    table.SetAccountName(*table.Find(1), "alice");
    EXPECT_EQ(table.FindIndexByAccount("jsmith"), -1);
    EXPECT_EQ(table.FindIndexByAccount("<Logging On, Index #2...>"), 2);
}

TEST_F(ConnectionTableTest, ShutdownRuleAllowsOnlyALoneConsole) {
    EXPECT_FALSE(network.HasOtherClients());
    Add(1);
    EXPECT_TRUE(network.HasOtherClients());
    table.SetClientKind(*table.Find(1), 5);
    EXPECT_FALSE(network.HasOtherClients());
    EXPECT_TRUE(network.IsConsolePresent());
    Add(2);
    table.SetClientKind(*table.Find(2), 5);
    EXPECT_TRUE(network.HasOtherClients());
    table.Remove(2);
    table.SetClientKind(*table.Find(1), 3);
    EXPECT_FALSE(network.IsConsolePresent());
}

// The counts the status line shows follow logons, changes of kind and closes alike.
TEST_F(ConnectionTableTest, LoggedOnAndConsoleCountsFollowEveryChange) {
    Add(1);
    Add(2);
    Add(3);
    EXPECT_EQ(table.loggedOnCount(), 0);
    table.SetClientKind(*table.Find(1), 3);
    table.SetClientKind(*table.Find(2), 5);
    EXPECT_EQ(table.loggedOnCount(), 2);
    EXPECT_EQ(table.consoleCount(), 1);
    table.SetClientKind(*table.Find(2), 4);
    EXPECT_EQ(table.consoleCount(), 0);
    EXPECT_EQ(table.loggedOnCount(), 2);
    table.Remove(1);
    table.Remove(3);
    EXPECT_EQ(table.loggedOnCount(), 1);
    table.Remove(2);
    EXPECT_EQ(table.loggedOnCount(), 0);
}

TEST_F(ConnectionTableTest, ConnectionsAreCountedPerClientAddress) {
    const platform::NetAddress a = Address("10.0.0.1");
    const platform::NetAddress b = Address("10.0.0.2");
    Add(1, a);
    Add(2, a);
    Add(3, b);
    ASSERT_NE(table.UseOf(a), nullptr);
    EXPECT_EQ(table.UseOf(a)->connections, 2);
    EXPECT_EQ(table.UseOf(b)->connections, 1);
    // A run of refusals ends when the address is served again.
    table.UseOf(a)->refusing = true;
    table.Remove(1);
    EXPECT_TRUE(table.UseOf(a)->refusing);
    Add(4, a);
    EXPECT_FALSE(table.UseOf(a)->refusing);
    table.Remove(2);
    table.Remove(4);
    EXPECT_EQ(table.UseOf(a), nullptr);
    EXPECT_EQ(table.UseOf(b)->connections, 1);
}

TEST_F(ConnectionTableTest, UnknownIndicesAreRefusedAndLogged) {
    NetLines().clear();
    Add(1);
    EXPECT_FALSE(network.CloseIndex(0));
    EXPECT_FALSE(network.CloseIndex(7));
    EXPECT_FALSE(network.SendToIndex("x", 7));
    // A serial names one connection exactly: a newer one under the index is not answered.
    EXPECT_FALSE(network.SendToIndex("x", 1, network.SerialAt(1) + 1));
    EXPECT_EQ(NetLines(), (std::vector<std::string>{
                              "Attempt to close an unknown connection index, bad connection index",
                              "Attempt to close an unknown connection index, connection index not found",
                              "Attempt to send a message to an unknown connection index",
                              "Attempt to send a message to an unknown connection index",
                          }));
    EXPECT_TRUE(network.CloseIndex(1));
    EXPECT_TRUE(table.empty());
}

namespace {

// What the layer above hears of the network, with a reply to each message; it stops the loop
// once the reply it sent has drained.
class HeardEvents final : public net::ConnectionEvents {
public:
    explicit HeardEvents(net::Network& network) : network_(network) {}

    bool Admit(const platform::NetAddress&) override {
        heard.push_back("admit");
        if (!admit) network_.loop().Stop();
        return admit;
    }
    void OnAccepted(net::ConnectionRecord& record) override { heard.push_back("accepted " + std::to_string(record.index)); }
    void OnMessage(std::string_view text, int index) override {
        heard.push_back("message " + std::string(text));
        replied = network_.SendToIndex("reply", index);
    }
    void OnOutputDrained(int index) override {
        heard.push_back("drained " + std::to_string(index));
        if (replied) network_.loop().Stop();
    }
    void OnConnectionClosed(int index, bool repliesRead) override {
        heard.push_back("closed " + std::to_string(index) + (repliesRead ? " read" : " unread"));
        network_.loop().Stop();
    }

    bool admit = true;
    bool replied = false;
    std::vector<std::string> heard;

private:
    net::Network& network_;
};

class NetworkEventsTest : public ::testing::Test {
protected:
    void SetUp() override {
        network.SetConnectionEvents(&events);
        ASSERT_FALSE(network.StartSockets().has_value());
        ASSERT_FALSE(network.Listen(0, 0, {Address("127.0.0.1")}).has_value());
        std::string error;
        ASSERT_TRUE(peer.Open("127.0.0.1", network.listeningPort(), 5s, &error)) << error;
        // A stuck test ends rather than hangs; the events stop the loop long before.
        loop.AddTimer(20s, [this] { loop.Stop(); });
    }
    void TearDown() override { network.SetConnectionEvents(nullptr); }

    platform::EventLoop loop;
    net::Network network{loop, KeepLine};
    HeardEvents events{network};
    client::Connection peer;
};

} // namespace

// The greeting and each reply leave at the end of their turn, and the listener hears the drain
// only then, never while a reply still waits.
TEST_F(NetworkEventsTest, TheListenerHearsTheDrainAfterTheReplyLeft) {
    ASSERT_TRUE(peer.SendRaw(std::string("207") + '\xBB'));
    loop.Run();
    ASSERT_GE(events.heard.size(), 4u);
    EXPECT_EQ(events.heard[0], "admit");
    EXPECT_EQ(events.heard[1], "accepted 1");
    // The greeting may leave on its own or with the reply, as the system's readiness comes.
    EXPECT_EQ(events.heard[events.heard.size() - 2], "message 207");
    EXPECT_EQ(events.heard.back(), "drained 1");
    ASSERT_NE(network.FindRecordByIndex(1), nullptr);
    EXPECT_EQ(network.FindRecordByIndex(1)->socket.unsentBytes(), 0u);
    const std::optional<std::string> greeting = peer.ReadMessage(5s);
    ASSERT_TRUE(greeting.has_value());
    EXPECT_EQ(*greeting, std::string("1\xA7") + "0\xA7");
    EXPECT_EQ(peer.ReadMessage(5s), std::optional<std::string>("reply"));
}

TEST_F(NetworkEventsTest, ARefusedConnectionGetsNoRecordAndIsClosed) {
    events.admit = false;
    loop.Run();
    EXPECT_EQ(events.heard, (std::vector<std::string>{"admit"}));
    EXPECT_TRUE(network.connections.empty());
    EXPECT_EQ(network.NextFreeIndex(), 1);
    EXPECT_FALSE(peer.ReadMessage(5s).has_value());
    EXPECT_TRUE(peer.closed());
}
