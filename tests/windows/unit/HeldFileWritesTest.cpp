// Writes that replace a file another program holds open without delete sharing (a virus
// scanner, a backup agent): the rename over it waits for the holder on the loop's timer, and
// the write is complete only once the new content is in place.

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "platform/DurableWrites.h"
#include "platform/EventLoop.h"
#include "support/ScopedVariable.h"
#include "support/TestFiles.h"

namespace vserver::platform {
namespace {

using vserver::test::Names;
using vserver::test::ReadFile;
using vserver::test::TempFolder;
using vserver::test::WriteFile;

// The file opened for reading, shared for reading only, as a scanner holds it.
HANDLE Hold(const std::string& path) {
    return ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

UnsyncedWrite Staged(const std::string& path, const std::string& content) {
    UnsyncedWrite write;
    EXPECT_TRUE(StageReplacement(path, content, write).ok());
    return write;
}

// The holder lets go only once the sync thread has met it; meanwhile the write stays
// unanswered and the loop serves other work. Then the write completes with the new content,
// and a write of another file submitted behind it is not held up by it.
TEST(HeldFileWrites, AReplacementWaitsForTheHolderAndCompletesOnceItLetsGo) {
    TempFolder root;
    const std::string trace = root / "trace";
    vserver::test::ScopedVariable traced("VSERVER_SYNC_TRACE", trace);
    const std::string held = root / "held.vts";
    const std::string free = root / "free.vts";
    WriteFile(held, "old");
    WriteFile(free, "old");
    HANDLE holder = Hold(held);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);

    EventLoop loop;
    SyncWorker syncs(loop);
    std::vector<std::string> events;
    syncs.Submit(Staged(held, "new"), [&](SysResult result) {
        events.push_back(result ? "held done" : "held failed: " + result.Describe());
        loop.Stop();
    });
    syncs.Submit(Staged(free, "new"), [&](SysResult result) { events.push_back(result ? "free done" : "free failed"); });
    std::function<void()> watch = [&] {
        const bool freeDone = std::find(events.begin(), events.end(), "free done") != events.end();
        if (!freeDone || ReadFile(trace).find("busy ") == std::string::npos) {
            loop.AddTimer(std::chrono::milliseconds(5), watch);
            return;
        }
        events.push_back("busy seen, content " + ReadFile(held));
        ::CloseHandle(holder);
    };
    loop.AddTimer(std::chrono::milliseconds(5), watch);
    loop.AddTimer(std::chrono::seconds(60), [&] { loop.Stop(); });
    loop.Run();
    EXPECT_EQ(events, (std::vector<std::string>{"free done", "busy seen, content old", "held done"}));
    EXPECT_EQ(ReadFile(held), "new");
    EXPECT_EQ(Names(root.path()), (std::vector<std::string>{"free.vts", "held.vts", "trace"}));
}

// A holder that never lets go: the write fails with the sharing failure after a bounded wait,
// leaving the old content and no temporary.
TEST(HeldFileWrites, AHolderThatKeepsTheFileMakesTheWriteFailAfterABoundedWait) {
    TempFolder root;
    const std::string held = root / "held.vts";
    WriteFile(held, "old");
    HANDLE holder = Hold(held);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    UnsyncedWrite write = Staged(held, "new");
    const SysResult result = CompleteWrite(write);
    ::CloseHandle(holder);
    EXPECT_FALSE(result.ok());
    EXPECT_TRUE(result.nativeError() == ERROR_SHARING_VIOLATION || result.nativeError() == ERROR_ACCESS_DENIED)
        << result.Describe();
    EXPECT_EQ(ReadFile(held), "old");
    EXPECT_EQ(Names(root.path()), std::vector<std::string>{"held.vts"});
}

} // namespace
} // namespace vserver::platform
