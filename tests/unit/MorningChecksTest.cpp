// The morning scenario's checks must catch a server that loses, repeats or misroutes queued
// messages, lists sessions that do not exist or leaves out ones that do, or writes the wrong
// statistics; and its expected replies must come from what the prepared files hold.

#include <gtest/gtest.h>

#include "loadgen/MorningChecks.h"
#include "loadgen/MorningFiles.h"
#include "support/TestFiles.h"

namespace vserver::loadgen::morning {
namespace {

using test::ReadFile;
using test::TempFolder;
using test::WriteFile;

// The steps' request ids and the replies owed, as the protocol writes them: a drift here would
// make every run blame the server.
TEST(MorningPlan, AWorkstationsStepsAndTheRepliesOwedAreTheProtocolsBytes) {
    Expectations plan;
    plan.prefix = "u";
    plan.workstations = 12;
    plan.values.assign(12, {"13", "Voice 3", "4", "Book 3", "Classic"});
    plan.toolbarSets.assign(12, "");
    plan.toolbarSets[3] = "Set0";
    // Step 1, the first read, goes with request id 2.
    EXPECT_EQ(WorkstationRequest(plan, 3, 1), "2\xA7\xA7\xA7" "201\xA7Room 1\xA7u3\xA7\xA7" "FontSize\xB0" "Display\xB0" "12\xBB\n");
    EXPECT_EQ(WorkstationReply(plan, 3, 1), "202\xA7" "2\xA7" "FontSize\xB0" "13\xBB\n");
    // The logon of an account held by a session that answers is refused as in use (code 2).
    EXPECT_EQ(WorkstationReply(plan, 10, 0), "1\xA7" "1\xA7" "101\xA7" "2\xBB\n");
    EXPECT_EQ(WorkstationReply(plan, 3, 0), "1\xA7" "1\xBB\n");
    EXPECT_EQ(WorkstationReply(plan, 3, 7), "1\xA7" "8\xA7" "210\xA7" "Set0\xBB\n");
    EXPECT_EQ(CollectionReplyHead(6), "1\xA7" "7\xA7" "208\xA7");
    EXPECT_EQ(CollectionReplyHead(12), "1\xA7" "13\xA7" "208\xA7");
    EXPECT_EQ(ListReplyHead(9), "1\xA7" "9\xA7" "803\xA7\xB0");
    EXPECT_EQ(LivenessCheck("u", 10), "2\xA7u10\xBB\n");
}

TEST(MorningLedger, EveryAcknowledgedMessageHandedOutOnceInOrderPasses) {
    DeliveryLedger ledger(3);
    ledger.AddQueued(1, "from yesterday");
    ledger.Answer(ledger.AddSent(1, "first"), true);
    ledger.Answer(ledger.AddSent(2, "for two"), true);
    ledger.Answer(ledger.AddSent(1, "second"), true);
    DeliveryLedger::MessageId refused = ledger.AddSent(2, "refused");
    ledger.Answer(refused, false);

    EXPECT_EQ(ledger.Deliver(1, "from yesterday\xB0" "first"), "");
    EXPECT_EQ(ledger.Deliver(1, ""), "");
    EXPECT_EQ(ledger.Deliver(1, "second"), "");
    EXPECT_EQ(ledger.Deliver(2, "for two"), "");
    DeliveryLedger::Totals totals = ledger.Count();
    EXPECT_EQ(totals.acknowledged, 4u);
    EXPECT_EQ(totals.delivered, 4u);
    EXPECT_EQ(totals.refused, 1u);
    EXPECT_EQ(totals.lost + totals.repeated + totals.wrong + totals.unanswered, 0u);
}

TEST(MorningLedger, LossRepetitionStrangersAndDisorderAreCaught) {
    DeliveryLedger ledger(3);
    for (const char* payload : {"a", "b", "c", "d"}) ledger.Answer(ledger.AddSent(1, payload), true);
    ledger.Answer(ledger.AddSent(2, "for two"), true);
    DeliveryLedger::MessageId refused = ledger.AddSent(1, "refused");
    ledger.Answer(refused, false);
    (void)ledger.AddSent(1, "never answered");

    EXPECT_EQ(ledger.Deliver(1, "a"), "");
    EXPECT_NE(ledger.Deliver(1, "a"), "");                  // again
    EXPECT_NE(ledger.Deliver(1, "for two"), "");            // another account's
    EXPECT_NE(ledger.Deliver(1, "nobody queued this"), "");
    EXPECT_NE(ledger.Deliver(1, "c\xB0" "b"), "");          // b was queued before c
    EXPECT_NE(ledger.Deliver(1, "refused"), "");            // the console was told it was not stored
    DeliveryLedger::Totals totals = ledger.Count();
    EXPECT_EQ(totals.repeated, 1u);
    EXPECT_EQ(totals.lost, 1u);   // d
    EXPECT_EQ(totals.wrong, 4u);
    EXPECT_EQ(totals.unanswered, 1u);
}

// Twelve accounts: 0 and 10 also hold an older session, so their workstations are refused.
class MorningRosterTest : public ::testing::Test {
protected:
    MorningRosterTest() {
        plan.prefix.push_back('u');
        plan.workstations = 12;
        before.assign(12, LogonState::LoggedOn);
        before[0] = before[10] = LogonState::Refused;
        now = before;
    }
    // The list when everything settled: workstations newest first, the refused ones as
    // placeholders, then the older sessions, then the console.
    std::string Settled() const {
        std::string list;
        for (int account = 11; account >= 0; --account) {
            list += LogonRefused(account) ? "<Logging On, Index #" + std::to_string(40 + account) + "...>\xA7\xA7\xA7"
                                          : WorkstationEntry("u", account);
            list += '\xA6';
        }
        return list + OlderSessionEntry("u", 10) + '\xA6' + OlderSessionEntry("u", 0) + '\xA6' + ConsoleEntry();
    }
    std::string Without(std::string list, const std::string& entry) const {
        return list.erase(list.find(entry), entry.size() + 1);
    }

    Expectations plan;
    std::vector<LogonState> before, now;
};

TEST_F(MorningRosterTest, TheSettledListPassesAndEachMissingOrWrongEntryIsCaught) {
    SessionRoster roster(plan);
    std::string list = Settled();
    EXPECT_EQ(roster.Check(list, before, now, true), "");

    EXPECT_NE(roster.Check(Without(list, WorkstationEntry("u", 5)), before, now, true), "");
    EXPECT_NE(roster.Check(Without(list, OlderSessionEntry("u", 10)), before, now, true), "");
    EXPECT_NE(roster.Check(Without(list, "<Logging On, Index #40...>\xA7\xA7\xA7"), before, now, true), "");
    std::string console = ConsoleEntry();
    EXPECT_NE(roster.Check(list.substr(0, list.size() - console.size() - 1), before, now, true), "");
    // A refused workstation listed as logged on; an entry twice; two placeholders of one index.
    std::string refusedLoggedOn = list;
    std::string placeholder = "<Logging On, Index #50...>\xA7\xA7\xA7";
    refusedLoggedOn.replace(refusedLoggedOn.find(placeholder), placeholder.size(), WorkstationEntry("u", 10));
    EXPECT_NE(roster.Check(refusedLoggedOn, before, now, true), "");
    EXPECT_NE(roster.Check(WorkstationEntry("u", 3) + '\xA6' + list, before, now, true), "");
    std::string sameIndex = list;
    sameIndex.replace(sameIndex.find(placeholder), placeholder.size(), "<Logging On, Index #40...>\xA7\xA7\xA7");
    EXPECT_NE(roster.Check(sameIndex, before, now, true), "");
    EXPECT_NE(roster.Check("stranger\xA7x\xA7" "1\xA7y\xA6" + list, before, now, true), "");
}

TEST_F(MorningRosterTest, WhileWorkstationsLogOnOnlyWhatHadAskedMayAppearInConnectionOrder) {
    SessionRoster roster(plan);
    // Workstation 7's logon was sent after the list was asked for and answered before the list
    // came back: it may be listed or not. Workstation 8 had not asked yet: it may not be.
    before[7] = LogonState::Sent;
    before[8] = now[8] = LogonState::NotSent;
    std::string list = Without(Settled(), WorkstationEntry("u", 8));
    EXPECT_EQ(roster.Check(list, before, now, false), "");
    EXPECT_EQ(roster.Check(Without(list, WorkstationEntry("u", 7)), before, now, false), "");
    // A placeholder more than the refused ones is a connection still logging on.
    EXPECT_EQ(roster.Check("<Logging On, Index #99...>\xA7\xA7\xA7\xA6" + list, before, now, false), "");
    EXPECT_NE(roster.Check("<Logging On, Index #99...>\xA7\xA7\xA7\xA6" + list, before, now, true), "");

    EXPECT_NE(roster.Check(WorkstationEntry("u", 8) + '\xA6' + list, before, now, false), "");
    std::string olderFirst = OlderSessionEntry("u", 0) + '\xA6' + Without(list, OlderSessionEntry("u", 0));
    EXPECT_NE(roster.Check(olderFirst, before, now, false), "");
}

TEST(MorningStatistics, TheRunsLinesInAnyOrderAfterTheEarlierOnes) {
    std::vector<std::string> expected = {"u1\tRoom 1\t101\t", "u1\tRoom 1\tBookOpened\tBook 1"};
    std::string earlier = "01/02/26\t07:00:00\told\tRoom\t101\t\r\n";
    std::string file = earlier + "12/09/26\t08:00:01\tu1\tRoom 1\tBookOpened\tBook 1\r\n" +
                       "12/09/26\t08:00:00\tu1\tRoom 1\t101\t\r\n" + std::string(1, '\0');
    std::size_t start = earlier.size() + 1;   // the earlier file ended in its NUL
    EXPECT_EQ(CheckStatistics(file, start, expected), "");

    EXPECT_NE(CheckStatistics(file, start, {expected[0]}), "");                         // one more than expected
    EXPECT_NE(CheckStatistics(file, start, {expected[0], expected[1], "u2\tR\t101\t"}), "");  // one missing
    EXPECT_NE(CheckStatistics(file.substr(0, file.size() - 1), start, expected), "");   // no final NUL
    std::string twoEnds = earlier + '\0' + file.substr(earlier.size());
    EXPECT_NE(CheckStatistics(twoEnds, start, expected), "");   // an append that kept the old NUL
}

TEST(MorningFiles, ExpectedRepliesComeFromThePreparedFilesAsTheyAre) {
    TempFolder temp;
    std::string folder = temp.path();
    std::string error;
    ASSERT_TRUE(PrepareFolder(folder, 12, "u", &error)) << error;
    Expectations plan;
    ASSERT_TRUE(LoadExpectations(folder, 12, "u", plan, &error)) << error;
    EXPECT_EQ(plan.values[3][0], "13");          // FontSize, from the account's own file
    EXPECT_EQ(plan.values[3][3], "Book 3");
    EXPECT_EQ(plan.values[3][4], "Classic");     // in no file: the default
    EXPECT_EQ(plan.toolbarSets[5], "Set2");
    EXPECT_EQ(plan.toolbarSets[4], "");
    ASSERT_EQ(plan.queuedMessages.size(), 2u);   // accounts 2 and 7
    EXPECT_EQ(plan.queuedMessages[1], (std::pair<int, std::string>{7, "Good morning, u7"}));

    // A value changed by hand, a record for the account in other capitals, and a registry file
    // of the installation's own are what the next run expects and keeps.
    std::string preferences = folder + "/master/Users/u3/u3VantorelSettings.vts";
    WriteFile(preferences, "[display]\r\n fontsize = 20 \r\nFontSize=21\r\n[Speech]\r\nVoice=\r\n");
    WriteFile(folder + "/ForcedToolbarSets.log", std::string("U5\xA6" "Extra\r\nu5\xA6Set2\r\n") + '\0');
    WriteFile(folder + "/VServerService.reg", "REGEDIT4\r\n");
    ASSERT_TRUE(LoadExpectations(folder, 12, "u", plan, &error)) << error;
    EXPECT_EQ(plan.values[3][0], "20");
    EXPECT_EQ(plan.values[3][1], "Default");     // an empty value reads as the default
    EXPECT_EQ(plan.toolbarSets[5], "Extra\xB0Set2");
    ASSERT_TRUE(PrepareFolder(folder, 12, "u", &error)) << error;
    EXPECT_EQ(ReadFile(folder + "/VServerService.reg"), "REGEDIT4\r\n");
    EXPECT_FALSE(LoadExpectations(folder, 13, "u", plan, &error));
    EXPECT_NE(error.find("u12"), std::string::npos) << error;
}

} // namespace
} // namespace vserver::loadgen::morning
