#include <gtest/gtest.h>

#include <string>

#include "wire/Reply.h"

namespace vserver::wire {
namespace {

TEST(Reply, CommonCompletionTakesItsFormFromTheType) {
    Reply reply;
    EXPECT_EQ(reply.Greeting().text(), "1\xA7" "0\xA7");
    EXPECT_EQ(reply.Completion(12, RequestType::ServerVersion, "9.0").text(), "1\xA7" "12\xA7" "207\xA7" "9.0");
    EXPECT_EQ(reply.Completion(5, RequestType::KeepAlive, "ignored").text(), "1\xA7" "5");
    // Unknown types: every console type carries the long form with its empty result.
    EXPECT_EQ(reply.Completion(3, 999, "").text(), "1\xA7" "3\xA7" "999\xA7");
    EXPECT_EQ(reply.Completion(3, 150, "").text(), "1\xA7" "3");
    // Each form starts over, whatever the reply held before.
    EXPECT_EQ(reply.Completion(-4, RequestType::ListSessions, "\xB0x").text(), "1\xA7-4\xA7" "803\xA7\xB0x");
}

TEST(Reply, AnswersRefusalsAndNotices) {
    Reply reply;
    EXPECT_EQ(reply.Answer(0, RequestType::ToolbarSetExists, "True").text(), "1\xA7" "0\xA7" "205\xA7True");
    EXPECT_EQ(reply.Refusal(7, RequestType::ChangeUser, RefusalCode::NoLiveSession).text(), "1\xA7" "7\xA7" "104\xA7" "3");
    EXPECT_EQ(reply.VersionRefusal(8, "9.0").text(), "1\xA7" "8\xA7" "101\xA7" "6\xA7\xA6" "9.0");
    EXPECT_EQ(reply.Notice(MessageCode::LivenessCheck, "jsmith").text(), "2\xA7jsmith");
    EXPECT_EQ(reply.Notice(MessageCode::DisconnectNotice, "").text(), "103\xA7");
    EXPECT_EQ(reply.PreferenceValues(0, "k\xB0v").text(), "202\xA7" "0\xA7k\xB0v");
}

TEST(ListWriter, SeparatesEntriesAndPartsAfterWhatTheTextHeld) {
    std::string sessions;
    ListWriter(sessions).Entry("a").Part("room").Number(5).Part("d").Entry("<b>").Part({}).Part({}).Part({});
    EXPECT_EQ(sessions, "a\xA7room\xA7" "5\xA7" "d\xA6<b>\xA7\xA7\xA7");

    std::string values;
    ListWriter(values, kItemSeparator).Entry("k").Part("v").Entry("l").Part("");
    EXPECT_EQ(values, "k\xB0v\xA6l\xB0");

    // An empty first name leaves nothing to separate, as the listings always had it.
    std::string names;
    ListWriter(names).Entry("").Entry("x").Entry("").Entry("y");
    EXPECT_EQ(names, "x\xA6\xA6y");

    std::string result;
    StartSessionListResult(result);
    ListWriter(result).Entry("a").Entry("b");
    EXPECT_EQ(result, "\xB0" "a\xA6" "b");
}

} // namespace
} // namespace vserver::wire
