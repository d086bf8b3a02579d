#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <optional>
#include <vector>

#include "LogCapture.h"
#include "accounts/Queues.h"
#include "accounts/RecordFile.h"
#include "platform/EventLoop.h"

namespace vserver::accounts {
namespace {

using namespace std::chrono_literals;
using vserver::test::PathExists;
using vserver::test::LogCapture;
using vserver::test::ReadFile;
using vserver::test::TempFolder;
using vserver::test::WriteFile;


using vserver::test::LockHolder;

// A requester whose reply always reaches its socket.
DeliverResult Into(std::string& out) {
    return [&out](std::string result) {
        out = std::move(result);
        return Handover::Transmitted;
    };
}

class QueuesTest : public ::testing::Test {
protected:
    std::string Collect(const std::string& account) {
        std::string result;
        EXPECT_EQ(TryCollectQueuedItems(queue, account, Into(result)), AttemptOutcome::Done);
        return result;
    }
    TempFolder root;
    std::string queue = root / "UserMessages.log";
    LogCapture log;
};

TEST_F(QueuesTest, AppendKeepsOneNulAtTheEnd) {
    ASSERT_TRUE(AppendRecord("one\r\n", queue));
    EXPECT_EQ(ReadFile(queue), std::string("one\r\n\0", 6));
    ASSERT_TRUE(AppendRecord("two\r\n", root / "USERMESSAGES.LOG"));
    EXPECT_EQ(ReadFile(queue), std::string("one\r\ntwo\r\n\0", 11));

    // A file from another writer without the final NUL loses its last byte.
    WriteFile(root / "foreign.log", "abc");
    ASSERT_TRUE(AppendRecord("X", root / "foreign.log"));
    EXPECT_EQ(ReadFile(root / "foreign.log"), std::string("abX\0", 4));

    // Read-only files are made writable; a missing folder is reported.
    vserver::test::RemoveWritePermission(queue);
    ASSERT_TRUE(AppendRecord("three\r\n", queue));
    EXPECT_TRUE(vserver::test::IsWritable(queue));
    EXPECT_FALSE(AppendRecord("x", root / "missing/q.log"));
    EXPECT_TRUE(log.Contains("Unable to create file: " + root / "missing/q.log"));
}

TEST_F(QueuesTest, CollectionTakesOneAccountsItemsInOrder) {
    ASSERT_TRUE(QueueItem(queue, "jsmith", "first"));
    ASSERT_TRUE(QueueItem(queue, "alice", "for alice"));
    ASSERT_TRUE(QueueItem(queue, "JSmith", "second"));
    ASSERT_TRUE(QueueItem(queue, "jsmith", "th\xB0ird"));

    EXPECT_EQ(Collect("JSMITH"), "first\xB0second\xB0th\xB0ird");
    EXPECT_EQ(ReadFile(queue), std::string("alice\xA6" "for alice\r\n\0", 18));
    EXPECT_EQ(Collect("jsmith"), "");
    EXPECT_EQ(ReadFile(queue), std::string("alice\xA6" "for alice\r\n\0", 18));

    // Everything collected: the file goes, and the next append starts it again.
    EXPECT_EQ(Collect("alice"), "for alice");
    EXPECT_FALSE(PathExists(queue));
    ASSERT_TRUE(QueueItem(queue, "bob", "hi"));
    EXPECT_EQ(ReadFile(queue), std::string("bob\xA6hi\r\n\0", 9));
}

TEST_F(QueuesTest, MissingQueueLeavesAnEmptyFile) {
    EXPECT_EQ(Collect("jsmith"), "");
    ASSERT_TRUE(PathExists(queue));
    EXPECT_EQ(ReadFile(queue), "");
    ASSERT_TRUE(QueueItem(queue, "jsmith", "x"));
    EXPECT_EQ(ReadFile(queue), std::string("jsmith\xA6x\r\n\0", 11));
}

TEST_F(QueuesTest, PlainFilesFromOtherToolsReadAsBefore) {
    WriteFile(queue, "  jsmith\xA6one \r\n\r\nalice\xA6keep\r\nnopayload\r\njsmith\xA6two");
    EXPECT_EQ(Collect("jsmith"), "one\xB0two");
    EXPECT_EQ(ReadFile(queue), std::string("alice\xA6keep\r\nnopayload\r\n\0", 24));
    EXPECT_EQ(Collect("NOPAYLOAD"), "");
    EXPECT_EQ(ReadFile(queue), std::string("alice\xA6keep\r\n\0", 13));
}

TEST_F(QueuesTest, MultiLinePayloadsComeBackWhole) {
    const std::string message = "Dear class,\r\nread page 4\\5.\nBye";
    ASSERT_TRUE(QueueItem(queue, "jsmith", message));
    ASSERT_TRUE(QueueItem(queue, "alice", "line1\r\nline2"));
    ASSERT_TRUE(QueueItem(queue, "jsmith", "plain"));
    // One record per item, each readable by a plain reader as a single line.
    std::string text = ReadFile(queue);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\r'), 3);
    std::string alices;
    ASSERT_TRUE(TakeRecords(text, "alice", alices));
    EXPECT_EQ(text.find("jsmith\xA6" "Dear class,\\r\\nread page 4\\\\5.\\nBye"), 0u);

    EXPECT_EQ(Collect("jsmith"), message + "\xB0plain");
    EXPECT_EQ(Collect("alice"), "line1\r\nline2");
}

template <std::size_t N>
std::string Bytes(const char (&text)[N]) {
    return std::string(text, N - 1);
}

// The in-place taking against what the record format asks for, on files in and out of form:
// kept records trimmed and ended by CR LF, in order, whatever moved where in the buffer.
TEST(TakeRecords, KeepsTheOtherRecordsInFormAndInOrder) {
    struct Case {
        const char* name;
        std::string text;
        std::string account;
        bool found;
        std::string result;
        std::string kept;
    };
    const std::vector<Case> cases = {
        {"nothing for the account", Bytes("a\xA6" "1\r\nb\xA6" "2\r\n\0"), "c", false, "",
         "a\xA6" "1\r\nb\xA6" "2\r\n"},
        {"first taken, the rest moves up", Bytes("a\xA6" "1\r\nb\xA6" "2\r\nc\xA6" "3\r\n\0"), "A", true, "1",
         "b\xA6" "2\r\nc\xA6" "3\r\n"},
        {"every record taken", Bytes("a\xA6" "1\r\na\xA6" "\r\na\xA6" "3\r\n\0"), "a", true, "1\xB0\xB0" "3", ""},
        {"records without line feeds, none taken", "a\xA6x\rb\xA6y\rc\xA6z", "q", false, "",
         "a\xA6x\r\nb\xA6y\r\nc\xA6z\r\n"},
        {"records without line feeds, middle taken", "a\xA6x\rb\xA6y\rc\xA6z", "b", true, "y",
         "a\xA6x\r\nc\xA6z\r\n"},
        {"blanks, empty lines and bytes after the NUL", Bytes("  a\xA6x \r\n\r\n\tb\xA6y\r\n\0c\xA6z\r\n"), "b",
         true, "y", "a\xA6x\r\n"},
        {"lone line feeds stay inside records", "a\xA6x\ny\r\nb\xA6z\r\n", "b", true, "z", "a\xA6x\ny\r\n"},
        {"escaped record kept byte for byte", "j\xA6l1\\r\\nl2\xA6" "escaped-lines\r\nk\xA6v\r\n", "k", true, "v",
         "j\xA6l1\\r\\nl2\xA6" "escaped-lines\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string text = c.text;
        std::string result;
        EXPECT_EQ(TakeRecords(text, c.account, result), c.found);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(text, c.kept);
    }
}

TEST_F(QueuesTest, ACollectionThatTakesNothingLeavesTheFileUntouched) {
    ASSERT_TRUE(QueueItem(queue, "alice", "for alice"));
    ASSERT_TRUE(QueueItem(queue, "bob", "for bob"));
    const std::string before = ReadFile(queue);
    const auto stamp = std::filesystem::last_write_time(queue);
    auto identity = [this] {
        platform::LockedFile file;
        EXPECT_EQ(file.TryOpen(queue), platform::LockedFile::Outcome::Locked);
        return file.identity();
    };
    const platform::LockedFile::Identity opened = identity();
    EXPECT_EQ(Collect("jsmith"), "");
    EXPECT_EQ(ReadFile(queue), before);
    EXPECT_EQ(std::filesystem::last_write_time(queue), stamp);
    EXPECT_EQ(identity(), opened);
    EXPECT_EQ(Collect("bob"), "for bob");
    EXPECT_EQ(ReadFile(queue), std::string("alice\xA6" "for alice\r\n\0", 18));
}

TEST_F(QueuesTest, ALockedQueueIsBusyAndUntouched) {
    ASSERT_TRUE(QueueItem(queue, "jsmith", "waiting"));
    const std::string before = ReadFile(queue);
    LockHolder holder(queue);
    ASSERT_TRUE(holder.locked());
    std::string result;
    EXPECT_EQ(TryCollectQueuedItems(queue, "jsmith", Into(result)), AttemptOutcome::Busy);
    EXPECT_EQ(ReadFile(queue), before);
    holder.Release();
    EXPECT_EQ(Collect("jsmith"), "waiting");
}

TEST_F(QueuesTest, AFailedRewriteKeepsEveryRecord) {
    ASSERT_TRUE(QueueItem(queue, "jsmith", "mine"));
    ASSERT_TRUE(QueueItem(queue, "alice", "hers"));
    const std::string before = ReadFile(queue);
    // The folder refuses new entries and renames, as a full or failing disk would.
    if (!vserver::test::SetImmutable(root.path(), true)) GTEST_SKIP() << "no immutable flag here";
    EXPECT_EQ(Collect("jsmith"), "mine");
    EXPECT_EQ(Collect("alice"), "hers");
    vserver::test::SetImmutable(root.path(), false);
    EXPECT_EQ(ReadFile(queue), before);
    EXPECT_EQ(vserver::test::Names(root.path()), std::vector<std::string>{"UserMessages.log"});
}

TEST_F(QueuesTest, RetriesRunOnTheLoopUntilTheLockIsFree) {
    platform::EventLoop loop;
    ASSERT_TRUE(loop.valid());
    ASSERT_TRUE(QueueItem(queue, "jsmith", "late"));
    auto holder = std::make_unique<LockHolder>(queue);
    ASSERT_TRUE(holder->locked());

    std::optional<std::string> collected;
    int ticks = 0;
    CollectQueuedItems(loop, queue, "jsmith", [&](std::string result) {
        collected = std::move(result);
        loop.Stop();
        return Handover::Transmitted;
    });
    EXPECT_FALSE(collected.has_value());
    // Other work goes on while the collection waits; the lock goes away after the second try.
    loop.AddTimer(100ms, [&] { ++ticks; });
    loop.AddTimer(700ms, [&] { holder.reset(); });
    loop.AddTimer(5s, [&] { loop.Stop(); });
    loop.Run();
    EXPECT_EQ(ticks, 1);
    EXPECT_EQ(collected, "late");
}

TEST_F(QueuesTest, GivesUpWithAnEmptyResultAfterSevenAttempts) {
    platform::EventLoop loop;
    ASSERT_TRUE(QueueItem(queue, "jsmith", "stays"));
    LockHolder holder(queue);
    ASSERT_TRUE(holder.locked());
    std::optional<std::string> collected;
    auto start = std::chrono::steady_clock::now();
    CollectQueuedItems(loop, queue, "jsmith", [&](std::string result) {
        collected = std::move(result);
        loop.Stop();
        return Handover::Transmitted;
    });
    loop.AddTimer(10s, [&] { loop.Stop(); });
    loop.Run();
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(collected, "");
    EXPECT_GE(waited, 2900ms);
    EXPECT_LT(waited, 4500ms);
    holder.Release();
    EXPECT_EQ(Collect("jsmith"), "stays");
}

// The loop hands the rewrite's sync to the sync thread and keeps the queue locked until the
// new file is in place, so no append can land in the file that is about to be replaced; the
// loop's own next append waits for it and is kept.
TEST_F(QueuesTest, ACollectionsRewriteIsSyncedAsideWithTheQueueHeldAndLaterItemsKept) {
    platform::EventLoop loop;
    platform::SyncWorker syncs(loop);
    ASSERT_TRUE(QueueItem(queue, "jsmith", "first"));
    ASSERT_TRUE(QueueItem(queue, "alice", "for alice"));
    std::string collected;
    CollectQueuedItems(loop, queue, "jsmith", Into(collected), {}, &syncs);
    EXPECT_EQ(collected, "first");
    EXPECT_EQ(syncs.inFlight(), 1u);
    platform::LockedFile probe;
    EXPECT_EQ(probe.TryOpen(queue), platform::LockedFile::Outcome::Busy);

    std::optional<bool> stored;
    QueueItem(loop, syncs, queue, "jsmith", "second", [&](bool ok) {
        stored = ok;
        loop.Stop();
    });
    loop.AddTimer(10s, [&] { loop.Stop(); });
    loop.Run();
    EXPECT_EQ(stored, true);
    EXPECT_EQ(Collect("alice"), "for alice");
    EXPECT_EQ(Collect("jsmith"), "second");
}

// While another process holds the queue, an item's append is tried again by the loop's timer
// rather than waited for inside the loop, and goes in once the lock is free; a lock that stays
// taken ends in a logged failure, never a silent one.
TEST_F(QueuesTest, AQueuedItemWaitsOnTheLoopForAHeldQueue) {
    ASSERT_TRUE(QueueItem(queue, "alice", "earlier"));
    // Queues one item for jsmith while another process holds the queue, releasing it after
    // release (if given); the outcome, or nothing when the loop ended without one.
    auto queueWhileHeld = [&](const char* payload, std::optional<std::chrono::milliseconds> release) {
        platform::EventLoop loop;
        platform::SyncWorker syncs(loop);
        auto holder = std::make_unique<LockHolder>(queue);
        EXPECT_TRUE(holder->locked());
        std::optional<bool> stored;
        QueueItem(loop, syncs, queue, "jsmith", payload, [&](bool ok) {
            stored = ok;
            loop.Stop();
        });
        EXPECT_FALSE(stored.has_value());
        if (release) loop.AddTimer(*release, [&] { holder.reset(); });
        loop.AddTimer(10s, [&] { loop.Stop(); });
        loop.Run();
        return stored;
    };
    EXPECT_EQ(queueWhileHeld("later", 60ms), true);
    EXPECT_EQ(Collect("jsmith"), "later");
    EXPECT_EQ(queueWhileHeld("refused", std::nullopt), false);
    std::string upperQueue = queue;
    std::transform(upperQueue.begin(), upperQueue.end(), upperQueue.begin(), [](unsigned char c) { return std::toupper(c); });
    EXPECT_EQ(log.CountMentioning("Unable to open file: " + upperQueue), 1u);
    EXPECT_EQ(Collect("jsmith"), "");
    EXPECT_EQ(Collect("alice"), "earlier");
}

} // namespace
} // namespace vserver::accounts

namespace vserver::accounts {
namespace {

// A requester whose reply is still on its way when the collection hands it over.
DeliverResult StillSending(std::string& out) {
    return [&out](std::string result) {
        out = std::move(result);
        return Handover::Pending;
    };
}

TEST_F(QueuesTest, RecordsWhoseReplyIsStillOnItsWayGoOnlyOnceItLeft) {
    ASSERT_TRUE(QueueItem(queue, "jsmith", "one"));
    ASSERT_TRUE(QueueItem(queue, "alice", "hers"));
    std::string result;
    DeliveredRecords pending;
    EXPECT_EQ(TryCollectQueuedItems(queue, "jsmith", StillSending(result), &pending), AttemptOutcome::Done);
    EXPECT_EQ(result, "one");
    EXPECT_EQ(ReadFile(queue), std::string("jsmith\xA6one\r\nalice\xA6hers\r\n\0", 25));

    // Items queued meanwhile stay, also for the same account.
    ASSERT_TRUE(QueueItem(queue, "jsmith", "two"));
    EXPECT_EQ(RemoveDeliveredRecords(pending), AttemptOutcome::Done);
    EXPECT_EQ(ReadFile(queue), std::string("alice\xA6hers\r\njsmith\xA6two\r\n\0", 25));
    EXPECT_EQ(Collect("jsmith"), "two");
}

TEST_F(QueuesTest, ALateRemovalReadsAnotherToolsFileAsBefore) {
    WriteFile(queue, "jsmith\xA6one\r\nalice\xA6two");  // no final NUL
    std::string result;
    DeliveredRecords pending;
    ASSERT_EQ(TryCollectQueuedItems(queue, "jsmith", StillSending(result), &pending), AttemptOutcome::Done);
    EXPECT_EQ(RemoveDeliveredRecords(pending), AttemptOutcome::Done);
    EXPECT_EQ(ReadFile(queue), std::string("alice\xA6two\r\n\0", 12));
}

TEST_F(QueuesTest, AQueueRewrittenMeanwhileKeepsWhatWasDelivered) {
    ASSERT_TRUE(QueueItem(queue, "jsmith", "one"));
    ASSERT_TRUE(QueueItem(queue, "alice", "hers"));
    std::string result;
    DeliveredRecords pending;
    ASSERT_EQ(TryCollectQueuedItems(queue, "jsmith", StillSending(result), &pending), AttemptOutcome::Done);
    // Another collection replaced the file: where the records are now is not known for sure,
    // so they stay and come again rather than risk removing others.
    EXPECT_EQ(Collect("alice"), "hers");
    EXPECT_EQ(RemoveDeliveredRecords(pending), AttemptOutcome::Done);
    EXPECT_EQ(Collect("jsmith"), "one");
}

} // namespace
} // namespace vserver::accounts
