// The client library's framing and reply parsing, the registry port lookup of the tools, and
// the load generator's latency histogram.

#include <gtest/gtest.h>

#include "client/ProtocolClient.h"
#include "client/RegistryPort.h"
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

TEST(RegistryPort, ReadsPortNumberLikeTheServer) {
    const std::string head = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server]\r\n\"MasterPath\"=\"/srv\"\r\n\r\n";
    const std::string key = "[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Connection]\r\n";
    EXPECT_EQ(PortFromRegistryText(head), kDefaultPort);
    EXPECT_EQ(PortFromRegistryText(""), kDefaultPort);
    EXPECT_EQ(PortFromRegistryText(head + key), kDefaultPort);
    EXPECT_EQ(PortFromRegistryText(head + key + "\"PortNumber\"=\"\"\r\n"), kDefaultPort);
    EXPECT_EQ(PortFromRegistryText(head + key + "\"PortNumber\"=\"4242\"\r\n"), 4242);
    EXPECT_EQ(PortFromRegistryText(head + key + "\"PortNumber\"=\" 77abc\"\r\n"), 77);
    EXPECT_EQ(PortFromRegistryText(head + key + "\"PortNumber\"=\"0\"\r\n"), 0);
    // Key and value names ignore case; a key given twice merges and the later value wins.
    std::string twice = "[hkey_local_machine\\software\\qora\\vantorel server\\connection]\n\"portnumber\"=\"1\"\n\n" +
                        key + "\"PortNumber\"=\"2\"\r\n";
    EXPECT_EQ(PortFromRegistryText(twice), 2);
    // A value of another type is no string: the default applies.
    EXPECT_EQ(PortFromRegistryText(key + "\"PortNumber\"=dword:00000fa0\r\n"), kDefaultPort);
    // The same value name under another key does not count.
    EXPECT_EQ(PortFromRegistryText(key + "\r\n[HKEY_LOCAL_MACHINE\\Other]\r\n\"PortNumber\"=\"9\"\r\n"), kDefaultPort);
}

TEST(RegistryPort, QuotedStringsUnescape) {
    std::string text = "[K]\r\n\"Na\\\"me\"=\"C:\\\\dir \\\"x\\\"\"\r\n";
    EXPECT_EQ(ReadRegistryString(text, "K", "Na\"me"), std::optional<std::string>("C:\\dir \"x\""));
    EXPECT_FALSE(ReadRegistryString(text, "K", "Other"));
}

TEST(RegistryPort, TheLastListeningLineOfTheServiceLogCounts) {
    std::string log = "01/02/24\t10:00:00\tServer listening on port 4000\r\n"
                      "01/02/24\t10:05:00\tService ending normally\r\n"
                      "01/02/24\t10:06:00\tServer listening on port 4123\r\n";
    EXPECT_EQ(PortFromServiceLog(log), std::optional<int>(4123));
    EXPECT_FALSE(PortFromServiceLog("01/02/24\t10:00:00\tService ending normally\r\n"));
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
