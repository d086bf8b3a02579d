#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "wire/Fields.h"
#include "wire/MessageAssembler.h"
#include "wire/Request.h"

using vserver::wire::ExtractField;
using vserver::wire::MessageAssembler;
using vserver::wire::ParseRequest;
using vserver::wire::ReadNumber;

namespace {

struct Collector {
    MessageAssembler assembler;
    std::vector<std::string> messages;

    MessageAssembler::Outcome Feed(std::string_view chunk) {
        return assembler.Feed(chunk, [this](std::string_view m) {
            messages.emplace_back(m);
            return true;
        });
    }
};

const std::string kVersionRequest = "12\xA7\xA7\xA7" "207\xBB\n";

} // namespace

TEST(ExtractField, CutsAtSeparatorCountingFromOne) {
    EXPECT_EQ(ExtractField("a", '\xA7', 1), "a");
    EXPECT_EQ(ExtractField("a", '\xA7', 2), "");
    EXPECT_EQ(ExtractField("a\xA7" "b\xA7", '\xA7', 2), "b");
    EXPECT_EQ(ExtractField("a\xA7" "b\xA7", '\xA7', 3), "");
    EXPECT_EQ(ExtractField("a\xA7" "b\xA7", '\xA7', 4), "");
    EXPECT_EQ(ExtractField("\xA7x", '\xA7', 1), "");
    EXPECT_EQ(ExtractField("\xA7x", '\xA7', 2), "x");
    EXPECT_EQ(ExtractField("a\xA7\xA7" "c", '\xA7', 2), "");
    EXPECT_EQ(ExtractField("a\xA7\xA7" "c", '\xA7', 3), "c");
    EXPECT_EQ(ExtractField("a\xA7" "b", '\xA7', 0), "");
    EXPECT_EQ(ExtractField("a\xA7" "b", '\xA7', -3), "");
}

TEST(ReadNumber, FollowsTheLenientDecimalRule) {
    EXPECT_EQ(ReadNumber(""), 0);
    EXPECT_EQ(ReadNumber("abc"), 0);
    EXPECT_EQ(ReadNumber("12ab"), 12);
    EXPECT_EQ(ReadNumber("  \t-7"), -7);
    EXPECT_EQ(ReadNumber("+5"), 5);
    EXPECT_EQ(ReadNumber("- 5"), 0);
    EXPECT_EQ(ReadNumber("99999999999999999999"), 2147483647);
    EXPECT_EQ(ReadNumber("-99999999999999999999"), -2147483647 - 1);
}

TEST(ParseRequest, TakesAllTwelvePositions) {
    auto r = ParseRequest("7\xA7x\xA7y\xA7" "101\xA7label\xA7jsmith\xA7one\xA7two\xA6" "3\xA6" "9.0\xA6" "detail\xA6ignored");
    EXPECT_EQ(r.id, 7);
    EXPECT_EQ(r.type, 101);
    EXPECT_EQ(r.label(), "label");
    EXPECT_EQ(r.account(), "jsmith");
    EXPECT_EQ(r.argument1(), "one");
    EXPECT_EQ(r.argument2(), "two");
    EXPECT_EQ(r.clientKind(), 3);
    EXPECT_EQ(r.clientVersion(), "9.0");
    EXPECT_EQ(r.sessionDetail(), "detail");

    auto empty = ParseRequest("");
    EXPECT_EQ(empty.id, 0);
    EXPECT_EQ(empty.type, 0);
    EXPECT_EQ(empty.clientKind(), 0);
}

TEST(MessageAssembler, WorkedExampleWholeAndInTwoChunks) {
    Collector whole;
    whole.Feed(kVersionRequest);
    ASSERT_EQ(whole.messages.size(), 1u);
    EXPECT_EQ(whole.messages[0], "12\xA7\xA7\xA7" "207");

    Collector split;
    split.Feed("12\xA7\xA7\xA7" "2");
    EXPECT_TRUE(split.messages.empty());
    EXPECT_EQ(split.assembler.pending(), "12\xA7\xA7\xA7" "2");
    split.Feed("07\xBB\n");
    ASSERT_EQ(split.messages.size(), 1u);
    EXPECT_EQ(split.messages[0], whole.messages[0]);
    EXPECT_TRUE(split.assembler.pending().empty());
}

TEST(MessageAssembler, EveryMessageOfTheStreamInOrder) {
    Collector c;
    c.Feed("1\xBB\n" "2\xBB" "3\xBB\r\n" "4");
    c.Feed("\xBB");
    c.Feed("\r");
    c.Feed("\n5\xBB");
    EXPECT_EQ(c.messages, (std::vector<std::string>{"1", "2", "3", "4", "5"}));
    EXPECT_TRUE(c.assembler.pending().empty());
}

TEST(MessageAssembler, LineEndsOnlyDroppedRightAfterTheEndByte) {
    Collector c;
    c.Feed("\n");
    c.Feed("");
    EXPECT_TRUE(c.messages.empty());
    c.Feed("a\nb\xBB\rc\xBB");
    EXPECT_EQ(c.messages, (std::vector<std::string>{"a\nb", "\rc"}));
}

TEST(MessageAssembler, DropsNulBytes) {
    Collector c;
    c.Feed(std::string("1\0" "2\xBB\0\n", 6));
    EXPECT_EQ(c.messages, (std::vector<std::string>{"12"}));
}

TEST(MessageAssembler, BoundsTheUnfinishedMessage) {
    Collector c;
    std::string big(MessageAssembler::kMaxPending, 'x');
    EXPECT_EQ(c.Feed(big), MessageAssembler::Outcome::Consumed);
    EXPECT_EQ(c.Feed("y"), MessageAssembler::Outcome::Overflow);

    Collector d;
    EXPECT_EQ(d.Feed(std::string(MessageAssembler::kMaxPending - 1, 'x')), MessageAssembler::Outcome::Consumed);
    EXPECT_EQ(d.Feed("x\xBB"), MessageAssembler::Outcome::Consumed);
    ASSERT_EQ(d.messages.size(), 1u);
    EXPECT_EQ(d.messages[0].size(), MessageAssembler::kMaxPending);
}

TEST(MessageAssembler, StopsWhenTheReceiverAsks) {
    MessageAssembler a;
    int seen = 0;
    auto outcome = a.Feed("1\xBB" "2\xBB", [&](std::string_view) { return ++seen < 1; });
    EXPECT_EQ(outcome, MessageAssembler::Outcome::Stopped);
    EXPECT_EQ(seen, 1);
}

TEST(MessageAssembler, AStopKeepsTheRestOfTheChunkForResume) {
    MessageAssembler assembler;
    std::vector<std::string> messages;
    int budget = 1;
    auto take = [&](std::string_view m) {
        messages.emplace_back(m);
        return --budget > 0;
    };
    const std::string chunk = "a\xBB\nb\xBB\r\nc\xBB" "d";
    EXPECT_EQ(assembler.Feed(chunk, take), MessageAssembler::Outcome::Stopped);
    EXPECT_EQ(messages, std::vector<std::string>{"a"});
    EXPECT_TRUE(assembler.holdsUnread());

    budget = 1;
    EXPECT_EQ(assembler.Resume(take), MessageAssembler::Outcome::Stopped);
    EXPECT_EQ(messages, (std::vector<std::string>{"a", "b"}));

    budget = 10;
    EXPECT_EQ(assembler.Resume(take), MessageAssembler::Outcome::Consumed);
    EXPECT_EQ(messages, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_FALSE(assembler.holdsUnread());
    EXPECT_EQ(assembler.pending(), "d");
    // The line feed after a stop is dropped as after any end byte.
    EXPECT_EQ(assembler.Feed("e\xBB", take), MessageAssembler::Outcome::Consumed);
    EXPECT_EQ(messages.back(), "de");
}
