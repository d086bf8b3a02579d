// The client library's framing and reply parsing, the registry port lookup of the tools, and
// the load generator's latency histogram.

#include <gtest/gtest.h>

#include "client/ProtocolClient.h"
#include "client/ServiceLogText.h"
#include "loadgen/LatencyHistogram.h"

namespace vserver::client {
namespace {

TEST(ClientFraming, MessagesAndTheVersionExchangeHaveTheirExactBytes) {
    EXPECT_EQ(ToHex(EncodeMessage({"1", "", "", "207"})), "31a7a7a7323037bb0a");
    EXPECT_EQ(ToHex(EncodeMessage({"1", "1", "207", "9.0"})), "31a731a7323037a7392e30bb0a");
    EXPECT_EQ(ToHex(kGreeting), "31a730a7bb0a");
    EXPECT_EQ(EncodeMessage({}), "\xBB\n");
}

TEST(ClientFraming, HexParsingAcceptsSpacesAndRejectsOddOrForeignDigits) {
    EXPECT_EQ(ParseHex("31 A7 bb"), std::optional<std::string>("1\xA7\xBB"));
    EXPECT_EQ(ParseHex(""), std::optional<std::string>(""));
    EXPECT_FALSE(ParseHex("31a"));
    EXPECT_FALSE(ParseHex("3g"));
    EXPECT_EQ(ToHex(*ParseHex("00ff7F")), "00ff7f");
}

TEST(ClientReplies, LongFormKeepsSeparatorsInsideTheResult) {
    // The session list carries 0xA7 inside its entries; the result must keep them.
    std::string message = "1\xA7" "4\xA7" "803\xA7\xB0" "jsmith\xA7" "lab\xA7" "3\xA7" "pc1\xA6" "<Logging On, Index #2...>\xA7\xA7\xA7";
    Reply reply = ParseReply(message);
    EXPECT_EQ(reply.code, "1");
    EXPECT_EQ(reply.id, "4");
    EXPECT_EQ(reply.type, "803");
    EXPECT_EQ(reply.result, "\xB0" "jsmith\xA7" "lab\xA7" "3\xA7" "pc1\xA6" "<Logging On, Index #2...>\xA7\xA7\xA7");
    EXPECT_EQ(reply.text, message);
}

TEST(ClientReplies, ShortFormsAndEmptyResults) {
    Reply shortForm = ParseReply("1\xA7" "5");
    EXPECT_EQ(shortForm.fieldCount, 2u);
    EXPECT_EQ(shortForm.id, "5");
    EXPECT_EQ(shortForm.type, "");
    EXPECT_EQ(shortForm.result, "");

    Reply emptyResult = ParseReply("1\xA7" "3\xA7" "999\xA7");
    EXPECT_EQ(emptyResult.fieldCount, 4u);
    EXPECT_EQ(emptyResult.result, "");

    Reply refusal = ParseReply("1\xA7" "1\xA7" "101\xA7" "6\xA7\xA6" "9.0");
    EXPECT_EQ(refusal.type, "101");
    EXPECT_EQ(SplitFields(refusal.result).at(0), "6");

    EXPECT_EQ(FieldsFrom("a\xA7" "b", 3), "");
    EXPECT_EQ(FieldsFrom("a\xA7" "b", 0), "");
    EXPECT_EQ(FieldsFrom("a\xA7" "b", 1), "a\xA7" "b");
}

TEST(ServiceLogText, TheLastListeningLineOfTheServiceLogCounts) {
    std::string log = "01/02/24\t10:00:00\tServer listening on port 4000\r\n"
                      "01/02/24\t10:05:00\tService ending normally\r\n"
                      "01/02/24\t10:06:00\tServer listening on port 4123\r\n";
    EXPECT_EQ(PortFromServiceLog(log), std::optional<int>(4123));
    EXPECT_FALSE(PortFromServiceLog("01/02/24\t10:00:00\tService ending normally\r\n"));
}

TEST(ServiceLogText, RecordsAreLinesWithoutTheEndingNulOrARecordStillBeingWritten) {
    std::size_t used = 0;
    using namespace std::string_literals;
    const std::string log = "01/02/24\t10:00:00\tfirst\r\n01/02/24\t10:00:01\tsec\0ond\r\n\0"s;
    EXPECT_EQ(ServiceLogRecords(log, &used),
              (std::vector<std::string>{"01/02/24\t10:00:00\tfirst", "01/02/24\t10:00:01\tsecond"}));
    EXPECT_EQ(used, log.size() - 1);
    // A record whose line end has not been written yet is read on the next turn, whole.
    EXPECT_EQ(ServiceLogRecords("a\r\nhalf a rec", &used), std::vector<std::string>{"a"});
    EXPECT_EQ(used, 3u);
    EXPECT_TRUE(ServiceLogRecords(std::string(1, '\0'), &used).empty());
    EXPECT_EQ(used, 0u);
}

} // namespace
} // namespace vserver::client

namespace vserver::loadgen {
namespace {

TEST(LatencyHistogram, BucketsAreContiguousAndTight) {
    // Every bucket starts where the previous one ends, and holds its own lowest value.
    for (std::size_t i = 1; i < 5000; ++i) {
        std::uint64_t low = LatencyHistogram::LowestOf(i);
        if (LatencyHistogram::IndexOf(low) != i) break;   // past the last bucket
        EXPECT_EQ(LatencyHistogram::IndexOf(low - 1), i - 1) << i;
        EXPECT_GE(LatencyHistogram::MiddleOf(i), low);
    }
    for (std::uint64_t value : {300ull, 1'000ull, 123'456ull, 9'876'543'210ull}) {
        double middle = static_cast<double>(LatencyHistogram::MiddleOf(LatencyHistogram::IndexOf(value)));
        EXPECT_NEAR(middle, static_cast<double>(value), static_cast<double>(value) * 0.008) << value;
    }
}

TEST(LatencyHistogram, PercentilesOfAKnownDistribution) {
    LatencyHistogram histogram;
    EXPECT_EQ(histogram.ValueAtPercentile(50), 0u);
    // 1000 values: 1 us to 1000 us.
    for (std::uint64_t i = 1; i <= 1000; ++i) histogram.Record(i * 1000);
    EXPECT_EQ(histogram.count(), 1000u);
    EXPECT_EQ(histogram.max(), 1'000'000u);
    EXPECT_NEAR(static_cast<double>(histogram.ValueAtPercentile(50)), 500'000.0, 500'000.0 * 0.008);
    EXPECT_NEAR(static_cast<double>(histogram.ValueAtPercentile(99)), 990'000.0, 990'000.0 * 0.008);
    EXPECT_NEAR(static_cast<double>(histogram.ValueAtPercentile(99.9)), 999'000.0, 999'000.0 * 0.008);
    EXPECT_LE(histogram.ValueAtPercentile(100), histogram.max());
    // Values beyond the top bucket are kept in it rather than lost.
    histogram.Record(~std::uint64_t{0});
    EXPECT_EQ(histogram.count(), 1001u);
    histogram.Reset();
    EXPECT_EQ(histogram.count(), 0u);
}

} // namespace
} // namespace vserver::loadgen
