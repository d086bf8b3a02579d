#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/EventLoop.h"

namespace vserver::platform {
namespace {

using std::chrono::hours;
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

} // namespace
} // namespace vserver::platform
