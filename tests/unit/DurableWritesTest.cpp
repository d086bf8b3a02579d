#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/DurableWrites.h"
#include "platform/EventLoop.h"
#include "platform/FileSystem.h"
#include "platform/StagedFolders.h"
#include "platform/TemporaryFile.h"
#include "support/TestFiles.h"

namespace {

using namespace vserver::platform;
using vserver::test::Names;
using vserver::test::ReadFile;
using vserver::test::TempFolder;
using vserver::test::WriteFile;

// prefix followed by n (appended, which keeps the compiler's overlap check quiet).
std::string Named(std::string prefix, int n) {
    prefix += std::to_string(n);
    return prefix;
}

// Runs the loop until stop() is called from a completion, or a generous safety limit passes.
struct LoopRun {
    EventLoop loop;
    void Run() {
        loop.AddTimer(std::chrono::seconds(30), [this] { loop.Stop(); });
        loop.Run();
    }
};

UnsyncedWrite Staged(const std::string& path, const std::string& content) {
    UnsyncedWrite write;
    EXPECT_TRUE(StageReplacement(path, content, write).ok());
    return write;
}

TEST(DurableWrites, AStagedReplacementIsInPlaceWhenCompletedAndLeavesNoTemporary) {
    TempFolder root;
    const std::string file = root / "Prefs.vts";
    WriteFile(file, "old");
    UnsyncedWrite write = Staged(root / "PREFS.VTS", "new");
    ASSERT_TRUE(CompleteWrite(write).ok());
    EXPECT_EQ(ReadFile(file), "new");
    EXPECT_EQ(Names(root.path()), std::vector<std::string>{"Prefs.vts"});
}

// Until a staged replacement is renamed, readers see the old content, and another writer of the
// same file (which clears away leftover temporaries first) does not take it for a leftover.
TEST(DurableWrites, AStagedReplacementWaitsUnseenAndUntouchedUntilCompleted) {
    TempFolder root;
    const std::string file = root / "p.vts";
    WriteFile(file, "old");
    UnsyncedWrite write = Staged(file, "staged");
    EXPECT_FALSE(write.empty());
    EXPECT_EQ(ReadFile(file), "old");
    ASSERT_TRUE(ReplaceFileContent(file, "direct").ok());
    ASSERT_TRUE(CompleteWrite(write).ok());
    EXPECT_EQ(ReadFile(file), "staged");
    EXPECT_EQ(Names(root.path()), std::vector<std::string>{"p.vts"});
}

// Completions run in the order of the submissions, and each finds its own write in place.
TEST(DurableWrites, CompletionsRunInOrderAfterTheirWritesAreInPlace) {
    TempFolder root;
    LoopRun run;
    SyncWorker syncs(run.loop);
    const std::string queue = root / "queue.log";
    std::vector<int> order;
    for (int i = 0; i < 20; ++i) {
        UnsyncedWrite write;
        ASSERT_TRUE(AppendNulTerminatedUnsynced(queue, Named("r", i) + ";", AppendOpen::CreateIfMissing,
                                                LockWait::None, write)
                        .ok());
        syncs.Submit(std::move(write), [&, i](SysResult result) {
            EXPECT_TRUE(result.ok());
            order.push_back(i);
            if (i == 19) run.loop.Stop();
        });
    }
    EXPECT_EQ(syncs.inFlight(), 20u);
    run.Run();
    ASSERT_EQ(order.size(), 20u);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(order[i], i);
    std::string expected;
    for (int i = 0; i < 20; ++i) expected += Named("r", i) + ";";
    EXPECT_EQ(ReadFile(queue), expected + std::string(1, '\0'));
    EXPECT_EQ(syncs.inFlight(), 0u);
}

// Writers of one file take turns: a waiter runs only when no write of its key is in flight,
// and one that writes again keeps the waiters behind it waiting for that write.
TEST(DurableWrites, WaitersOfAKeyRunInTurnAfterTheWritesBeforeThem) {
    TempFolder root;
    LoopRun run;
    SyncWorker syncs(run.loop);
    const std::string file = root / "shared.vts";
    std::vector<std::string> events;
    auto write = [&](const std::string& content) {
        syncs.Submit(Staged(file, content), [&, content](SysResult) { events.push_back(std::string("done ").append(content)); }, "KEY");
    };

    bool ranAtOnce = false;
    syncs.AfterWritesTo("OTHER", [&] { ranAtOnce = true; });
    EXPECT_TRUE(ranAtOnce);

    write("one");
    syncs.AfterWritesTo("KEY", [&] {
        events.push_back(std::string("first waiter sees ").append(ReadFile(file)));
        write("two");
    });
    syncs.AfterWritesTo("KEY", [&] {
        events.push_back(std::string("second waiter sees ").append(ReadFile(file)));
        run.loop.Stop();
    });
    EXPECT_TRUE(events.empty());
    run.Run();
    EXPECT_EQ(events, (std::vector<std::string>{"done one", "first waiter sees one", "done two",
                                                "second waiter sees two"}));
}

// A folder built aside moves into place with what is in it, and never takes the name of an
// entry that is there already, not even an empty folder, which a plain rename would replace.
TEST(DurableWrites, AFolderBuiltAsideMovesWholeAndNeverReplacesAnother) {
    TempFolder root;
    WriteFile(root / "master", "content");
    auto buildAside = [&](const std::string& target) {
        const std::string folder = TemporaryNameFor(target, "new");
        EXPECT_TRUE(CreateFolder(folder).ok());
        UnsyncedWrite write;
        EXPECT_TRUE(CopyIntoStagedFolder(FindBeneath(root.path(), "MASTER"), folder + vserver::test::NativePath("/copy"), write).ok());
        write.temporary = folder;
        write.target = target;
        write.wholeFolder = true;
        write.syncFolder = true;
        return write;
    };
    UnsyncedWrite made = buildAside(root / "home");
    ASSERT_TRUE(CompleteWrite(made).ok());
    EXPECT_EQ(ReadFile(root / "home/copy"), "content");

    vserver::test::MakeFolder(root / "taken");
    UnsyncedWrite refused = buildAside(root / "taken");
    EXPECT_EQ(CompleteWrite(refused).error(), EEXIST);
    EXPECT_TRUE(Names(root / "taken").empty());
    EXPECT_EQ(Names(root.path()), (std::vector<std::string>{"home", "master", "taken"}));
}

} // namespace
