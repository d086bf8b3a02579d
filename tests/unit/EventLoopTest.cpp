#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "client/ProtocolClient.h"
#include "platform/EventLoop.h"
#include "platform/Socket.h"
#include "platform/common/NetAddress.h"

namespace vserver::platform {
namespace {

using std::chrono::hours;
using std::chrono::seconds;
using std::chrono::milliseconds;

// Runs the loop and calls Stop from a second thread once the loop has served its first event,
// so the stop reaches a loop that is already asleep in its wait.
void StopFromAnotherThreadOnceRunning(EventLoop& loop) {
    std::promise<void> running;
    loop.AddTimer(milliseconds(0), [&running] { running.set_value(); });
    std::thread stopper([&loop, started = running.get_future()]() mutable {
        started.wait();
        loop.Stop();
    });
    loop.Run();
    stopper.join();
}

TEST(EventLoop, StopFromAnotherThreadWakesAnIdleLoop) {
    EventLoop loop;
    ASSERT_TRUE(loop.valid());
    StopFromAnotherThreadOnceRunning(loop);
    EXPECT_TRUE(loop.stopping());
}

TEST(EventLoop, StopFromAnotherThreadEndsTheWaitForADistantTimer) {
    EventLoop loop;
    bool distantRan = false;
    loop.AddTimer(hours(1), [&distantRan] { distantRan = true; });
    StopFromAnotherThreadOnceRunning(loop);
    EXPECT_FALSE(distantRan);
}

TEST(EventLoop, TimersRunInDueOrderAndCancelledOnesNever) {
    EventLoop loop;
    std::vector<int> order;
    loop.AddTimer(milliseconds(20), [&] { order.push_back(3); });
    EventLoop::TimerId cancelled = loop.AddTimer(milliseconds(5), [&] { order.push_back(99); });
    loop.AddTimer(milliseconds(0), [&] { order.push_back(1); });
    loop.AddTimer(milliseconds(10), [&] { order.push_back(2); });
    loop.AddTimer(milliseconds(30), [&] { loop.Stop(); });
    loop.CancelTimer(cancelled);
    loop.CancelTimer(cancelled);  // a second cancel of the same id is ignored
    loop.Run();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(EventLoop, DeferredWorkRunsAfterTheCurrentCallbackAndMayDeferMore) {
    EventLoop loop;
    std::vector<int> order;
    loop.AddTimer(milliseconds(0), [&] {
        loop.Defer([&] {
            order.push_back(2);
            loop.Defer([&] {
                order.push_back(3);
                loop.Stop();
            });
        });
        order.push_back(1);
    });
    loop.Run();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(EventLoop, TurnEndWritesFilesBeforeOutputAndAfterTheTurnsOtherWork) {
    EventLoop loop;
    std::vector<std::string> order;
    // Outside Run there is no turn to wait for.
    loop.AtTurnEnd(TurnEndStage::Output, [&] { order.push_back("at once"); });
    EXPECT_EQ(order, (std::vector<std::string>{"at once"}));
    order.clear();

    loop.AddTimer(milliseconds(0), [&] {
        loop.AtTurnEnd(TurnEndStage::Output, [&] {
            order.push_back("reply");
            // A line written while replies go out still leaves in this turn, before the loop waits.
            loop.AtTurnEnd(TurnEndStage::Files, [&] { order.push_back("late line"); });
        });
        loop.AtTurnEnd(TurnEndStage::Files, [&] { order.push_back("line"); });
        loop.Defer([&] { order.push_back("deferred"); });
        order.push_back("handler");
    });
    loop.AddTimer(milliseconds(30), [&] {
        // A stage run early does its work once; the turn end then has none left of it.
        loop.AtTurnEnd(TurnEndStage::Files, [&] { order.push_back("early line"); });
        loop.AtTurnEnd(TurnEndStage::Output, [&] { order.push_back("second reply"); });
        loop.RunTurnEndStage(TurnEndStage::Files);
        order.push_back("handler 2");
        loop.Stop();
    });
    loop.Run();
    EXPECT_EQ(order, (std::vector<std::string>{"handler", "deferred", "line", "reply", "late line", "early line",
                                               "handler 2", "second reply"}));
}

TEST(EventLoop, StopBeforeRunReturnsAtOnce) {
    EventLoop loop;
    bool ran = false;
    loop.AddTimer(milliseconds(0), [&ran] { ran = true; });
    loop.Stop();
    loop.Run();
    EXPECT_FALSE(ran);
}

TEST(EventLoop, AStopMeantForAnEarlierLoopDoesNotEndALaterOne) {
    {
        EventLoop earlier;
        earlier.Stop();
    }
    EventLoop later;
    bool ran = false;
    later.AddTimer(milliseconds(0), [&] {
        ran = true;
        later.Stop();
    });
    later.Run();
    EXPECT_TRUE(ran);
}

// Reads what has arrived but keeps it for the next turn, and reads nothing more meanwhile, as a
// connection does while its earlier requests wait.
struct KeepingReader final : IoHandler {
    explicit KeepingReader(EventLoop& l) : loop(l) {}
    void OnReadable() override {
        if (keeping) return;
        char buffer[64];
        IoResult r = Receive(handle, buffer, sizeof buffer);
        if (r.status == IoResult::Status::Done) {
            received.append(buffer, r.count);
            keeping = true;
            loop.RunNextTurn([this] { keeping = false; });
        } else if (r.status != IoResult::Status::WouldBlock) {
            sawEnd = true;
            loop.Stop();
        }
    }
    void OnWritable() override {}

    EventLoop& loop;
    IoHandle handle = kInvalidHandle;
    bool keeping = false;
    bool sawEnd = false;
    std::string received;
};

struct AcceptingOne final : IoHandler {
    AcceptingOne(EventLoop& l, IoHandle listening, KeepingReader& r) : loop(l), listener(listening), reader(r) {}
    void OnReadable() override {
        IoHandle accepted = kInvalidHandle;
        if (reader.handle != kInvalidHandle || AcceptTcp(listener, accepted).status != IoResult::Status::Done) return;
        reader.handle = accepted;
        EXPECT_TRUE(loop.Watch(accepted, &reader, true, false));
    }
    void OnWritable() override {}

    EventLoop& loop;
    IoHandle listener;
    KeepingReader& reader;
};

// The peer's close comes while the handler keeps earlier input and reads nothing; some systems
// announce a close only once, and the loop must still tell the handler until it has read the end.
TEST(EventLoop, TheEndOfAStreamIsAnnouncedUntilTheHandlerReadsIt) {
    EventLoop loop;
    IoHandle listener = kInvalidHandle;
    ASSERT_TRUE(ListenTcpOn(*ParseNetAddress("127.0.0.1"), 0, 16, listener));
    client::Connection peer;
    std::string error;
    ASSERT_TRUE(peer.Open("127.0.0.1", LocalPort(listener), seconds(5), &error)) << error;
    ASSERT_TRUE(peer.SendRaw("abc"));
    peer.Close();

    KeepingReader reader(loop);
    AcceptingOne acceptor(loop, listener, reader);
    ASSERT_TRUE(loop.Watch(listener, &acceptor, true, false));
    loop.AddTimer(seconds(20), [&loop] { loop.Stop(); });
    loop.Run();
    EXPECT_EQ(reader.received, "abc");
    EXPECT_TRUE(reader.sawEnd);

    if (reader.handle != kInvalidHandle) {
        loop.Unwatch(reader.handle);
        CloseHandle(reader.handle);
    }
    loop.Unwatch(listener);
    CloseHandle(listener);
}

} // namespace
} // namespace vserver::platform
