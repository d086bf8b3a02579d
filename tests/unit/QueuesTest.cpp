#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <vector>

#include "LogCapture.h"
#include "accounts/Queues.h"
#include "accounts/RecordFile.h"
#include "platform/EventLoop.h"
#include "platform/LockedFile.h"
#include "support/ScopedVariable.h"

namespace vserver::accounts {
namespace {

using namespace std::chrono_literals;
using vserver::test::PathExists;
using vserver::test::LogCapture;
using vserver::test::LockHolder;
using vserver::test::ReadFile;
using vserver::test::TempFolder;
using vserver::test::WriteFile;

// A requester whose reply is on its way: the delivery's id goes to *id.
DeliverResult Sent(std::string& out, DeliveryId* id = nullptr) {
    return [&out, id](std::string result, DeliveryId delivery) {
        out = std::move(result);
        if (id != nullptr) *id = delivery;
        return Handout::AwaitingRead;
    };
}

class QueuesTest : public ::testing::Test {
protected:
    // A collection whose client reads the reply at once: its records are gone afterwards.
    std::string Collect(const std::string& account) {
        DeliveryId id = 0;
        std::string result = Handed(account, &id);
        book.MarkRead(id);
        EXPECT_EQ(TryRemoveReadRecords(book), AttemptOutcome::Done);
        return result;
    }
    // A collection whose client has not yet shown it read the reply.
    std::string Handed(const std::string& account, DeliveryId* id = nullptr) {
        std::string result;
        EXPECT_EQ(TryCollectQueuedItems(book, account, Sent(result, id)), AttemptOutcome::Done);
        return result;
    }
    TempFolder root;
    std::string queue = root / "UserMessages.log";
    QueueBook book{queue};
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
    EXPECT_EQ(TryCollectQueuedItems(book, "jsmith", Sent(result)), AttemptOutcome::Busy);
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
    CollectQueuedItems(loop, book, "jsmith", [&](std::string result, DeliveryId) {
        collected = std::move(result);
        loop.Stop();
        return Handout::AwaitingRead;
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
    CollectQueuedItems(loop, book, "jsmith", [&](std::string result, DeliveryId) {
        collected = std::move(result);
        loop.Stop();
        return Handout::AwaitingRead;
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
TEST_F(QueuesTest, ARemovalsRewriteIsSyncedAsideWithTheQueueHeldAndLaterItemsKept) {
    platform::EventLoop loop;
    platform::SyncWorker syncs(loop);
    ASSERT_TRUE(QueueItem(queue, "jsmith", "first"));
    ASSERT_TRUE(QueueItem(queue, "alice", "for alice"));
    std::string collected;
    DeliveryId id = 0;
    CollectQueuedItems(loop, book, "jsmith", Sent(collected, &id), &syncs);
    EXPECT_EQ(collected, "first");
    book.MarkRead(id);
    RemoveReadRecords(loop, book, &syncs);
    std::optional<bool> stored;
    // The removal runs in the next turn; by the time this runs the rewrite is with the sync thread.
    loop.RunNextTurn([&] {
        EXPECT_EQ(syncs.inFlight(), 1u);
        platform::LockedFile probe;
        EXPECT_EQ(probe.TryOpen(queue), platform::LockedFile::Outcome::Busy);
        QueueItem(loop, syncs, book, "jsmith", "second", [&](bool ok) {
            stored = ok;
            loop.Stop();
        });
    });
    loop.AddTimer(10s, [&] { loop.Stop(); });
    loop.Run();
    EXPECT_EQ(stored, true);
    EXPECT_EQ(Collect("alice"), "for alice");
    EXPECT_EQ(Collect("jsmith"), "second");
}

// A client may queue an item and collect without waiting for the first reply. While the item's
// append waits behind a rewrite, a pass that another account's collection scheduled earlier
// runs first; the client's collection must not join it, but be served after its own item.
TEST_F(QueuesTest, ACollectionAfterAWaitingAppendFindsTheItem) {
    platform::EventLoop loop;
    platform::SyncWorker syncs(loop);
    ASSERT_TRUE(QueueItem(queue, "jsmith", "first"));
    ASSERT_TRUE(QueueItem(queue, "alice", "for alice"));
    std::string first;
    DeliveryId id = 0;
    CollectQueuedItems(loop, book, "jsmith", Sent(first, &id), &syncs);
    book.MarkRead(id);
    RemoveReadRecords(loop, book, &syncs);
    std::string forAlice, second;
    std::optional<bool> stored;
    loop.RunNextTurn([&] {
        ASSERT_EQ(syncs.inFlight(), 1u);  // the rewrite removing "first"
        CollectQueuedItems(loop, book, "alice", Sent(forAlice), &syncs);
        QueueItem(loop, syncs, book, "jsmith", "second", [&](bool ok) { stored = ok; });
        CollectQueuedItems(loop, book, "jsmith", [&](std::string result, DeliveryId) {
            second = std::move(result);
            loop.Stop();
            return Handout::NoReplyDue;
        }, &syncs);
    });
    loop.AddTimer(10s, [&] { loop.Stop(); });
    loop.Run();
    EXPECT_EQ(first, "first");
    EXPECT_EQ(forAlice, "for alice");
    EXPECT_EQ(second, "second");
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
        QueueItem(loop, syncs, book, "jsmith", payload, [&](bool ok) {
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

// A collection's records stay in the file, out of reach of other collections, until the
// client shows it read them; records queued meanwhile, also for the same account, are new.
TEST_F(QueuesTest, HandedOutRecordsStayUntilReadAndAreNotHandedOutTwice) {
    ASSERT_TRUE(QueueItem(queue, "jsmith", "one"));
    ASSERT_TRUE(QueueItem(queue, "alice", "hers"));
    const std::string before = ReadFile(queue);
    DeliveryId first = 0;
    EXPECT_EQ(Handed("jsmith", &first), "one");
    EXPECT_EQ(ReadFile(queue), before);
    EXPECT_EQ(Handed("JSMITH"), "");

    ASSERT_TRUE(QueueItem(queue, "jsmith", "two"));
    DeliveryId second = 0;
    EXPECT_EQ(Handed("jsmith", &second), "two");
    book.MarkRead(first);
    EXPECT_EQ(TryRemoveReadRecords(book), AttemptOutcome::Done);
    EXPECT_EQ(ReadFile(queue), std::string("alice\xA6hers\r\njsmith\xA6two\r\n\0", 25));
    // A reply that was never read: its records come again.
    book.Release(second);
    EXPECT_EQ(Collect("jsmith"), "two");
    EXPECT_EQ(Collect("alice"), "hers");
    EXPECT_FALSE(PathExists(queue));
    EXPECT_EQ(book.outstanding(), 0u);
}

// Equal records are told apart by their order: the earliest are the ones handed out, so a
// removal takes those and leaves the equal record queued after the collection.
TEST_F(QueuesTest, OfEqualRecordsTheEarliestAreTheOnesHandedOut) {
    ASSERT_TRUE(QueueItem(queue, "jsmith", "Lunch"));
    DeliveryId first = 0;
    EXPECT_EQ(Handed("jsmith", &first), "Lunch");
    ASSERT_TRUE(QueueItem(queue, "jsmith", "Lunch"));
    ASSERT_TRUE(QueueItem(queue, "jsmith", "Gym"));
    DeliveryId second = 0;
    EXPECT_EQ(Handed("jsmith", &second), "Lunch\xB0Gym");
    book.MarkRead(second);
    ASSERT_EQ(TryRemoveReadRecords(book), AttemptOutcome::Done);
    EXPECT_EQ(ReadFile(queue), std::string("jsmith\xA6Lunch\r\n\0", 15));
    EXPECT_EQ(Handed("jsmith"), "");
    book.Release(first);
    EXPECT_EQ(Collect("jsmith"), "Lunch");
}

// A late removal after other collections replaced the file (as often as it takes for the file
// system to hand out the same file number again) removes exactly what was delivered.
TEST_F(QueuesTest, ALateRemovalAfterTheFileWasReplacedRemovesExactlyWhatWasDelivered) {
    for (int i = 1; i <= 20; ++i) ASSERT_TRUE(QueueItem(queue, "a", "a1 part " + std::to_string(i)));
    ASSERT_TRUE(QueueItem(queue, "b", "b1"));
    DeliveryId pending = 0;
    EXPECT_EQ(Handed("a", &pending).substr(0, 9), "a1 part 1");
    EXPECT_EQ(Collect("b"), "b1");
    ASSERT_TRUE(QueueItem(queue, "a", "a2"));
    ASSERT_TRUE(QueueItem(queue, "a", "a3"));
    ASSERT_TRUE(QueueItem(queue, "b", "b2"));
    EXPECT_EQ(Collect("b"), "b2");
    book.MarkRead(pending);
    ASSERT_EQ(TryRemoveReadRecords(book), AttemptOutcome::Done);
    EXPECT_EQ(Collect("a"), "a2\xB0" "a3");
    EXPECT_FALSE(PathExists(queue));
}

TEST_F(QueuesTest, ALateRemovalReadsAnotherToolsFileAsBefore) {
    WriteFile(queue, "jsmith\xA6one\r\nalice\xA6two");  // no final NUL
    EXPECT_EQ(Collect("jsmith"), "one");
    EXPECT_EQ(ReadFile(queue), std::string("alice\xA6two\r\n\0", 12));
    // The last record, whose last byte an append would overwrite, is found as well.
    WriteFile(queue, "alice\xA6two\r\njsmith\xA6three");
    EXPECT_EQ(Collect("jsmith"), "three");
    EXPECT_EQ(ReadFile(queue), std::string("alice\xA6two\r\n\0", 12));
}

// Another program rewrote the file while records were out: nothing says where they are now,
// so nothing is removed and they come again (at least once, never a wrong removal).
TEST_F(QueuesTest, AQueueRewrittenByAnotherProgramHandsItsRecordsOutAgain) {
    ASSERT_TRUE(QueueItem(queue, "jsmith", "one"));
    ASSERT_TRUE(QueueItem(queue, "alice", "hers"));
    DeliveryId id = 0;
    EXPECT_EQ(Handed("jsmith", &id), "one");
    WriteFile(queue, std::string("alice\xA6hers\r\njsmith\xA6one\r\njsmith\xA6new\r\n\0", 37));
    book.MarkRead(id);
    EXPECT_EQ(TryRemoveReadRecords(book), AttemptOutcome::Done);
    EXPECT_EQ(log.CountMentioning("Queue file " + queue + " was changed by another program"), 1u);
    EXPECT_EQ(Collect("jsmith"), "one\xB0new");
    EXPECT_EQ(Collect("alice"), "hers");
}

// A removal that the lock of another process keeps out is tried again on the loop; the records
// stay out meanwhile.
TEST_F(QueuesTest, ReadRecordsAreRemovedOnTheLoopOnceTheLockIsFree) {
    platform::EventLoop loop;
    ASSERT_TRUE(QueueItem(queue, "jsmith", "one"));
    ASSERT_TRUE(QueueItem(queue, "alice", "hers"));
    DeliveryId id = 0;
    EXPECT_EQ(Handed("jsmith", &id), "one");
    auto holder = std::make_unique<LockHolder>(queue);
    ASSERT_TRUE(holder->locked());
    book.MarkRead(id);
    RemoveReadRecords(loop, book);
    loop.AddTimer(700ms, [&] {
        EXPECT_TRUE(book.removalsWaiting());
        holder.reset();
    });
    std::function<void()> watch = [&] {
        if (!book.removalsWaiting()) return loop.Stop();
        loop.AddTimer(20ms, watch);
    };
    loop.AddTimer(20ms, watch);
    loop.AddTimer(10s, [&] { loop.Stop(); });
    loop.Run();
    EXPECT_EQ(ReadFile(queue), std::string("alice\xA6hers\r\n\0", 13));
}


// Collections that come while a rewrite of the queue is being synced are served together by
// the next pass, and their read records leave in one rewrite, instead of each collection
// taking its own pass and sync behind the one before.
TEST_F(QueuesTest, CollectionsWaitingBehindARewriteShareOnePass) {
    const std::string trace = root / "syncs.txt";
    vserver::test::ScopedVariable traced("VSERVER_SYNC_TRACE", trace);
    platform::EventLoop loop;
    platform::SyncWorker syncs(loop);
    const std::vector<std::string> accounts{"anna", "ben", "cleo", "dev"};
    for (const std::string& account : accounts) ASSERT_TRUE(QueueItem(queue, account, "for " + account));
    ASSERT_TRUE(QueueItem(queue, "eve", "stays"));
    std::map<std::string, std::string> collected;
    // A collection answered without a reply: its records count as read at once.
    auto readAtOnce = [&collected](std::string key) -> DeliverResult {
        return [&collected, key](std::string result, DeliveryId) {
            collected[key] = std::move(result);
            return Handout::NoReplyDue;
        };
    };
    CollectQueuedItems(loop, book, "anna", readAtOnce("anna"), &syncs);
    loop.RunNextTurn([&] {
        // anna's removal is being synced; the others (and ben once more, in other letters)
        // come meanwhile.
        EXPECT_EQ(syncs.inFlight(), 1u);
        for (const std::string& account : {"ben", "cleo", "dev", "BEN"}) {
            CollectQueuedItems(loop, book, account, readAtOnce(account), &syncs);
        }
    });
    std::function<void()> settled = [&] {
        if (collected.size() == 5 && book.outstanding() == 0 && syncs.inFlight() == 0) {
            loop.Stop();
        } else {
            loop.AddTimer(5ms, settled);
        }
    };
    loop.AddTimer(5ms, settled);
    loop.AddTimer(10s, [&] { loop.Stop(); });
    loop.Run();

    for (const std::string& account : accounts) EXPECT_EQ(collected[account], "for " + account);
    EXPECT_EQ(collected["BEN"], "");
    EXPECT_EQ(ReadFile(queue), std::string("eve\xA6stays\r\n") + '\0');
    const std::string lines = ReadFile(trace);
    std::size_t rewrites = 0;
    for (std::size_t at = lines.find("synced " + queue + "\n"); at != std::string::npos;
         at = lines.find("synced " + queue + "\n", at + 1)) {
        ++rewrites;
    }
    EXPECT_EQ(rewrites, 2u) << lines;
}

} // namespace
} // namespace vserver::accounts
