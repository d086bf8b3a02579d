// Option writes (817) against a large registry file: every write from many connections at once
// is kept, each line it does not set stays as it was, and a reader meanwhile only ever sees a
// value that was stored.

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "ServerHarness.h"

using namespace vserver;
using namespace vserver::test;

namespace {

constexpr int kValues = 40000;
constexpr int kWriters = 8;
constexpr int kWritesEach = 6;
// Every writer also writes this one, so the reader sees it change under it.
const std::string kShared = "Option7";

std::string ValueLine(const std::string& name, const std::string& text) { return "\"" + name + "\"=\"" + text + "\"\r\n"; }

std::string LargeOptions() {
    std::string text = kOpenConsole;
    for (int i = 0; i < kValues; ++i) text += ValueLine("Option" + std::to_string(i), "value of option " + std::to_string(i));
    return text;
}

// The lines of text, without those that set one of names.
std::vector<std::string> LinesNotSetting(const std::string& text, const std::set<std::string>& names) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        const std::size_t close = line.find("\"=");
        if (line.rfind('"', 0) == 0 && close != std::string::npos && names.count(line.substr(1, close - 1))) continue;
        lines.push_back(line);
    }
    return lines;
}

std::string Written(int writer, int write) { return "writer " + std::to_string(writer) + " write " + std::to_string(write); }

} // namespace

// How many syncs of file the sync trace records: the platform layer writes each line before the
// loop may answer for the write.
int SyncsOf(const std::string& trace, const std::string& file) {
    const std::string text = PathExists(trace) ? ReadFile(trace) : std::string();
    const std::string line = "synced " + file + "\n";
    int count = 0;
    for (std::size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++count;
    return count;
}

TEST(OptionWrites, WritesFromManyConnectionsToALargeRegistryAreAllKeptAndNeverTorn) {
    TempFolder traceFolder;
    const std::string trace = traceFolder / "sync-trace";
    ServerProcess server(ServerOptions{.extraRegistry = LargeOptions(), .environment = {{"VSERVER_SYNC_TRACE", trace}}});
    ASSERT_TRUE(server.Start()) << server.failure();
    const std::string before = ReadFile(server.registryPath());

    // What each writer stores: existing values, new ones and the shared one.
    std::map<std::string, std::string> expected;
    std::set<std::string> sharedTexts = {"value of option 7"};
    std::vector<std::vector<std::pair<std::string, std::string>>> writes(kWriters);
    for (int w = 0; w < kWriters; ++w) {
        for (int k = 0; k < kWritesEach; ++k) {
            std::string name = k == 0 ? kShared
                                      : (k % 2 == 1 ? "Option" + std::to_string(1000 * (w + 1) + k)
                                                    : "Added" + std::to_string(w) + "_" + std::to_string(k));
            writes[w].emplace_back(name, Written(w, k));
            if (name == kShared) {
                sharedTexts.insert(Written(w, k));
            } else {
                expected[name] = Written(w, k);
            }
        }
    }

    std::atomic<bool> stop{false};
    std::vector<std::string> seen;
    std::thread reader([&] {
        client::Connection c = server.Connect();
        for (int id = 1; !stop; ++id) {
            const std::string reply = Exchange(c, {.id = id, .type = 206, .argument1 = kShared, .argument2 = "(missing)"});
            if (reply.empty()) return;
            seen.push_back(reply.substr(reply.rfind('\xA7') + 1));
        }
    });
    // Each writer sends all its writes at once, then collects the completions.
    std::vector<client::Connection> writers;
    for (int w = 0; w < kWriters; ++w) writers.push_back(server.Connect());
    for (int w = 0; w < kWriters; ++w) {
        for (int k = 0; k < kWritesEach; ++k) {
            ASSERT_TRUE(writers[w].Send({.id = k + 1, .type = 817, .argument1 = writes[w][k].first,
                                         .argument2 = writes[w][k].second}));
        }
    }
    int answered = 0;
    for (int w = 0; w < kWriters; ++w) {
        std::set<std::string> completions;
        for (int k = 0; k < kWritesEach; ++k) {
            auto reply = writers[w].ReadMessage(60s);
            ASSERT_TRUE(reply.has_value()) << "writer " << w;
            completions.insert(*reply);
            // Answered only once on disk (the Windows build flushes before the call returns and
            // keeps no trace).
            ++answered;
            if (!WindowsServer()) {
                EXPECT_GE(SyncsOf(trace, server.registryPath()), answered);
            }
        }
        for (int k = 0; k < kWritesEach; ++k) EXPECT_EQ(completions.count(Completion(k + 1, 817, "True")), 1U) << w;
    }
    stop = true;
    reader.join();
    EXPECT_FALSE(seen.empty());
    for (const std::string& text : seen) EXPECT_EQ(sharedTexts.count(text), 1U) << "torn or missing: " << text;

    // Read back through the server and from the file: every value kept, every other line too.
    client::Connection check = server.Connect();
    for (const auto& [name, text] : expected) {
        EXPECT_EQ(Exchange(check, {.id = 1, .type = 206, .argument1 = name, .argument2 = "(missing)"}),
                  Completion(1, 206, text));
    }
    const std::string after = ReadFile(server.registryPath());
    for (const auto& [name, text] : expected) {
        EXPECT_NE(after.find(ValueLine(name, text)), std::string::npos) << name;
    }
    std::set<std::string> changed = {kShared};
    for (const auto& entry : expected) changed.insert(entry.first);
    EXPECT_TRUE(LinesNotSetting(after, changed) == LinesNotSetting(before, changed));
    EXPECT_EQ(after.find("(missing)"), std::string::npos);
}
