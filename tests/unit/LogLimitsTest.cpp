// The service log under pressure: a client flooding requests of unknown type, and another
// process holding the log's lock while the loop runs.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>

#include "LogCapture.h"
#include "host/LostNoticeLog.h"
#include "platform/EventLoop.h"
#include "requests/UnknownTypeLog.h"
#include "settings/ServiceLog.h"

namespace vserver {
namespace {

using namespace std::chrono_literals;
using vserver::test::LockHolder;
using vserver::test::LogCapture;
using vserver::test::ReadFile;
using vserver::test::ServiceLogTextsOf;
using vserver::test::TempFolder;

const std::string kUnknownType = "Unknown incoming message type, unable to process";

long long CountExact(const LogCapture& log) {
    auto texts = log.Texts();
    return std::count(texts.begin(), texts.end(), kUnknownType);
}

TEST(UnknownTypeLog, AFewLinesPerWindowThenOneCountOfTheRest) {
    LogCapture log;
    platform::EventLoop loop;
    {
        requests::UnknownTypeLog limiter(loop);
        for (int i = 0; i < 100; ++i) limiter.Record(987001);
        for (int i = 0; i < 3; ++i) limiter.Record(987002);
        EXPECT_EQ(CountExact(log), requests::UnknownTypeLog::kLinesPerWindow + 3);

        // The window's end reports what it left out and opens the next window.
        loop.AddTimer(requests::UnknownTypeLog::kWindow + 200ms, [&] { loop.Stop(); });
        loop.Run();
        EXPECT_TRUE(log.Contains(kUnknownType + " (95 more from connection index 987001 left out of the log)"));
        EXPECT_EQ(log.CountMentioning("connection index 987002"), 0u);
        for (int i = 0; i < 8; ++i) limiter.Record(987001);
        EXPECT_EQ(CountExact(log), 2 * requests::UnknownTypeLog::kLinesPerWindow + 3);

        // A close reports at once.
        limiter.OnConnectionClosed(987001);
        EXPECT_TRUE(log.Contains(kUnknownType + " (3 more from connection index 987001 left out of the log)"));
    }
}

TEST(LostNoticeLog, OneCountPerWindowAndWhatIsLeftWhenTheLogGoes) {
    const std::string kLost = "Readiness notices lost to a full message queue: ";
    const std::string kInstead = "; every socket was asked again instead";
    LogCapture log;
    platform::EventLoop loop;
    const auto window = 50ms;
    {
        host::LostNoticeLog lost(loop, window);
        for (int i = 0; i < 3; ++i) lost.Record();
        EXPECT_EQ(log.CountMentioning(kLost), 0u);
        // Timers run in the order they are due: this one after the window's end.
        loop.AddTimer(2 * window, [&] { loop.Stop(); });
        loop.Run();
        EXPECT_EQ(log.CountMentioning(kLost + "3" + kInstead), 1u);
        // A window with nothing lost writes nothing.
        loop.AddTimer(2 * window, [&] { loop.Stop(); });
        loop.Run();
        EXPECT_EQ(log.CountMentioning(kLost), 1u);
        lost.Record();
        lost.Record();
    }
    EXPECT_EQ(log.CountMentioning(kLost + "2" + kInstead), 1u);
}

TEST(ServiceLog, RecordsWaitInOrderWhileAnotherProcessHoldsTheLock) {
    TempFolder root;
    const std::string path = root / "ServiceLog.log";
    platform::EventLoop loop;
    settings::AttachServiceLogToLoop(loop);
    auto holder = std::make_unique<LockHolder>(path);
    ASSERT_TRUE(holder->locked());

    for (const char* text : {"first", "second", "third"}) settings::WriteServiceLogTo(path, text);
    EXPECT_EQ(ReadFile(path), "");
    loop.AddTimer(100ms, [&] { holder.reset(); });
    // Stops once the records are in the file (or after a long while, to end a failing test).
    std::function<void()> check = [&] {
        if (ReadFile(path).find("third") != std::string::npos) return loop.Stop();
        loop.AddTimer(10ms, check);
    };
    loop.AddTimer(10ms, check);
    loop.AddTimer(10s, [&] { loop.Stop(); });
    loop.Run();
    EXPECT_EQ(ServiceLogTextsOf(ReadFile(path)), (std::vector<std::string>{"first", "second", "third"}));

    // What still waits when the loop goes is written on the way out.
    holder = std::make_unique<LockHolder>(path);
    settings::WriteServiceLogTo(path, "fourth");
    holder.reset();
    settings::DetachServiceLogFromLoop();
    EXPECT_EQ(ServiceLogTextsOf(ReadFile(path)).back(), "fourth");
    const std::string text = ReadFile(path);
    EXPECT_EQ(text.find('\0'), text.size() - 1);
}

} // namespace
} // namespace vserver
