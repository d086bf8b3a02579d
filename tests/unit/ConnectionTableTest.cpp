#include <gtest/gtest.h>

#include "net/ConnectionTable.h"
#include "net/ServerCore.h"
#include "platform/EventLoop.h"

using namespace vserver;

namespace {

class ConnectionTableTest : public ::testing::Test {
protected:
    platform::EventLoop loop;
    net::ServerCore server{loop, settings::ConfigStore("/nonexistent/registry.reg")};
    net::ConnectionTable& table = server.connections;

    void Add(int index) { table.Insert(std::make_unique<net::ConnectionRecord>(server, index, platform::kInvalidHandle)); }
    std::vector<int> Order() const {
        std::vector<int> order;
        for (auto* r = table.newest(); r; r = r->older) order.push_back(r->index);
        return order;
    }
};

} // namespace

TEST_F(ConnectionTableTest, IndicesFollowTheHighestInUse) {
    EXPECT_EQ(server.NextFreeIndex(), 1);
    Add(1);
    Add(2);
    Add(3);
    EXPECT_EQ(Order(), (std::vector<int>{3, 2, 1}));
    table.Remove(3);
    EXPECT_EQ(server.NextFreeIndex(), 3);
    Add(3);
    table.Remove(1);
    EXPECT_EQ(server.NextFreeIndex(), 4);
    EXPECT_EQ(Order(), (std::vector<int>{3, 2}));
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
    EXPECT_FALSE(server.HasOtherClients());
    Add(1);
    EXPECT_TRUE(server.HasOtherClients());
    table.SetClientKind(*table.Find(1), 5);
    EXPECT_FALSE(server.HasOtherClients());
    EXPECT_TRUE(server.IsConsolePresent());
    Add(2);
    table.SetClientKind(*table.Find(2), 5);
    EXPECT_TRUE(server.HasOtherClients());
    table.Remove(2);
    table.SetClientKind(*table.Find(1), 3);
    EXPECT_FALSE(server.IsConsolePresent());
}
