#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "host/ServiceModule.h"

namespace vserver::host {
namespace {

// The system's shutdown ends the server as a stop does, so its writes finish and its log ends.
TEST(ControlHandler, StopAndTheSystemsShutdownEndTheLoopAndUnknownCodesAreReported) {
    struct Case {
        int control;
        bool quits;
        std::string output;
    };
    const Case cases[] = {
        {kControlPause, false, ""},       {kControlContinue, false, ""},
        {kControlInterrogate, false, ""}, {kControlShutdown, true, ""},
        {kControlPreshutdown, true, ""},  {14, false, "Bad service request\n"},
        {0, false, "Bad service request\n"}, {6, false, "Bad service request\n"},
        {128, false, "Bad service request\n"}, {255, false, "Bad service request\n"},
        {kControlStop, true, ""},
    };
    for (const Case& c : cases) {
        ServiceModule module;
        module.isService = false;
        int quits = 0;
        module.SetQuitAction([&] { ++quits; });
        module.SetState(ServiceState::Running);
        testing::internal::CaptureStdout();
        module.ControlHandler(c.control);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.output) << c.control;
        EXPECT_EQ(quits, c.quits ? 1 : 0) << c.control;
        EXPECT_EQ(module.state(), c.quits ? ServiceState::StopPending : ServiceState::Running) << c.control;
    }
}

TEST(ControlHandler, AStopWithoutARunningLoopOnlyReportsStopPending) {
    ServiceModule module;
    int quits = 0;
    module.SetQuitAction([&] { ++quits; });
    module.SetQuitAction(nullptr);
    module.ControlHandler(kControlStop);
    EXPECT_EQ(quits, 0);
    EXPECT_EQ(module.state(), ServiceState::StopPending);
}

// The manager's control thread may send a stop while the loop's thread installs or removes
// its quit action; once removed, the action must never run, because the loop it points to
// is about to go.
TEST(ControlHandler, AStopFromAnotherThreadNeverReachesARemovedQuitAction) {
    ServiceModule module;
    std::atomic<bool> done{false};
    std::atomic<int> lateCalls{0};
    std::atomic<int> calls{0};
    std::thread controlThread([&] {
        while (!done) module.ControlHandler(kControlStop);
    });
    // Until the control thread has had its turn at least once, however the two are scheduled.
    for (int run = 0; run < 300 || calls == 0; ++run) {
        auto loopAlive = std::make_unique<std::atomic<bool>>(true);
        module.SetQuitAction([&, alive = loopAlive.get()] {
            if (!*alive) ++lateCalls;
            ++calls;
        });
        std::this_thread::yield();
        module.SetQuitAction(nullptr);
        *loopAlive = false;
        // A late call would now read freed memory; the sanitizer build reports that too.
        loopAlive.reset();
    }
    done = true;
    controlThread.join();
    EXPECT_EQ(lateCalls, 0);
    EXPECT_GT(calls, 0);
}

} // namespace
} // namespace vserver::host
