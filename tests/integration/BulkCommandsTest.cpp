// vserverctl's work on many accounts at once against the real server: accounts created and
// deleted from lists with names that fail, messages and disconnects for every session, and
// dry runs that change nothing.

#include <gtest/gtest.h>

#include "ServerHarness.h"
#include "ToolProcess.h"

namespace vserver::test {
namespace {

class BulkCommandsTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server_.Start()) << server_.failure(); }

    ToolRun Ctl(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"--port", std::to_string(server_.port())});
        return RunVserverctl(arguments);
    }
    bool HasAccount(const std::string& name) { return PathExists(server_.usersFolder() + "/" + OnDiskName(name)); }

    // A workstation session of account (client kind 4 may hold an account twice).
    client::Connection LogOn(const std::string& account) {
        client::Connection connection = server_.Connect();
        client::Request logon{.id = 1, .type = 101, .label = "Lab", .account = account, .clientKind = 4, .version = "9.0"};
        EXPECT_EQ(Hex(Exchange(connection, logon)), Hex("1\xA7" "1"));
        return connection;
    }

    ServerProcess server_;
    TempFolder lists_;
};

TEST_F(BulkCommandsTest, CreateAndDeleteFromAListGoOnPastNamesThatFail) {
    const std::string list = lists_ / "pupils.txt";
    WriteFile(list, "# class 3a\namy\nben\n\nc/d\nthis-name-is-too-long-for-one\nAMY\n");
    const std::vector<std::string> refusals = {
        "refused        c/d                            the name holds \\, /, : or a control character, or is . or ..",
        "refused        this-name-is-too-long-for-one  the name is longer than 25 bytes",
    };

    ToolRun dry = Ctl({"create", "--from", list, "--dry-run"});
    EXPECT_EQ(dry.exitStatus, 1) << "a list with names that fail fails, dry or not";
    EXPECT_EQ(Lines(dry.out), (std::vector<std::string>{
                                  "would create   amy", "would create   ben", refusals[0], refusals[1],
                                  "already there  AMY", "2 would create, 1 already there, 2 refused"}));
    EXPECT_FALSE(HasAccount("amy"));
    EXPECT_FALSE(HasAccount("ben"));

    ToolRun created = Ctl({"create", "--from", list});
    EXPECT_EQ(created.exitStatus, 1);
    EXPECT_EQ(created.err, "vserverctl: create: 2 of 5 refused\n");
    EXPECT_EQ(Lines(created.out).back(), "2 created, 1 already there, 2 refused");
    EXPECT_TRUE(HasAccount("amy"));
    EXPECT_TRUE(HasAccount("ben"));

    // Run again, everything is there: no failure. A spreadsheet's list arrives on standard input.
    WriteFile(list, "amy\nBen\n");
    EXPECT_EQ(Ctl({"create", "--from", list}).out, "already there  amy\nalready there  Ben\n0 created, 2 already there, 0 refused\n");
    WriteFile(lists_ / "pupils.csv", "Name;Class\r\ncat;3a\r\n\"dan\";3b\r\n");
    ToolRun piped = RunVserverctl({"--port", std::to_string(server_.port()), "--json", "create", "--from", "-"}, {},
                                  lists_ / "pupils.csv");
    EXPECT_EQ(piped.exitStatus, 0) << piped.err;
    EXPECT_EQ(piped.out, "{\"ok\":true,\"command\":\"create\",\"dryRun\":false,\"results\":["
                         "{\"account\":\"cat\",\"outcome\":\"done\",\"line\":2},"
                         "{\"account\":\"dan\",\"outcome\":\"done\",\"line\":3}],"
                         "\"summary\":{\"done\":2,\"alreadyThere\":0,\"refused\":0,\"wouldDo\":0}}\n");
    EXPECT_TRUE(HasAccount("cat"));

    WriteFile(list, "amy\nnobody\ncat\n");
    ToolRun deleted = Ctl({"delete", "--from", list});
    EXPECT_EQ(deleted.exitStatus, 0) << deleted.err;
    EXPECT_EQ(deleted.out, "deleted    amy\nnot there  nobody\ndeleted    cat\n2 deleted, 1 not there, 0 refused\n");
    EXPECT_FALSE(HasAccount("amy"));
    EXPECT_TRUE(HasAccount("ben"));
    ToolRun unreadable = Ctl({"delete", "--from", lists_ / "missing.txt"});
    EXPECT_EQ(unreadable.exitStatus, 1);
    EXPECT_NE(unreadable.err.find("cannot read " + lists_ / "missing.txt"), std::string::npos) << unreadable.err;
}

TEST_F(BulkCommandsTest, MessageAndDisconnectEverySessionButTheConsoles) {
    client::Connection waiting = server_.Connect();   // connected, not logged on
    client::Connection amyFirst = LogOn("amy");
    client::Connection amySecond = LogOn("amy");
    client::Connection ben = LogOn("ben");

    ToolRun dry = Ctl({"message", "--all", "Lunch at noon", "--dry-run"});
    EXPECT_EQ(dry.exitStatus, 0) << dry.err;
    EXPECT_EQ(dry.out, "would send  ben\nwould send  amy\n2 would send, 0 refused\n");
    EXPECT_TRUE(ben.ExpectSilence(200ms));

    // One message per account, to its newest session.
    ToolRun sent = Ctl({"message", "--all", "Lunch at noon"});
    EXPECT_EQ(sent.exitStatus, 0) << sent.err;
    EXPECT_EQ(sent.out, "sent  ben\nsent  amy\n2 sent, 0 refused\n");
    EXPECT_EQ(ben.ReadMessage(5s).value_or(""), "200\xA7Lunch at noon");
    EXPECT_EQ(amySecond.ReadMessage(5s).value_or(""), "200\xA7Lunch at noon");
    EXPECT_TRUE(amyFirst.ExpectSilence(200ms));

    ToolRun dryDisconnect = Ctl({"--json", "disconnect", "--all", "--dry-run"});
    EXPECT_NE(dryDisconnect.out.find("\"summary\":{\"done\":0,\"alreadyThere\":0,\"refused\":0,\"wouldDo\":3}"),
              std::string::npos)
        << dryDisconnect.out;
    ToolRun disconnected = Ctl({"disconnect", "--all"});
    EXPECT_EQ(disconnected.exitStatus, 0) << disconnected.err;
    EXPECT_EQ(Lines(disconnected.out).back(), "3 disconnected, 0 refused");
    for (client::Connection* session : {&amyFirst, &amySecond, &ben}) {
        const std::optional<std::string> notice = session->ReadMessage(5s);
        EXPECT_EQ(notice.value_or("").substr(0, 4), "103\xA7");
        EXPECT_FALSE(session->ReadMessage(5s).has_value());
        EXPECT_TRUE(session->closed());
    }
    // A connection that never logged on is no session and stays.
    EXPECT_TRUE(waiting.ExpectSilence(200ms));
    EXPECT_EQ(Ctl({"count"}).out, "1\n");
}

} // namespace
} // namespace vserver::test
