#include "accounts/Queues.h"

#include <memory>
#include <utility>

#include "accounts/RecordFile.h"
#include "platform/LockedFile.h"
#include "platform/common/Retry.h"
#include "settings/ServiceLog.h"

namespace vserver::accounts {

bool QueueItem(const std::string& queuePath, std::string_view account, std::string_view payload,
               platform::UnsyncedWrite* unsynced) {
    return AppendRecord(EncodeQueueRecord(account, payload), queuePath, unsynced);
}

void QueueItem(platform::EventLoop& loop, platform::SyncWorker& syncs, QueueBook& book, std::string_view account,
               std::string_view payload, std::function<void(bool stored)> done) {
    struct Append {
        std::string queuePath;
        std::string record;
        std::function<void(bool)> done;
    };
    auto append = std::make_shared<Append>(Append{book.queuePath(), EncodeQueueRecord(account, payload), std::move(done)});
    // Until the append is settled (in the file, or given up), collections of the queue wait.
    ++book.appendsWaiting;
    auto settle = [&loop, &syncs, &book] {
        if (--book.appendsWaiting > 0) return;
        for (auto& collection : std::exchange(book.afterAppends, {})) {
            CollectQueuedItems(loop, book, std::move(collection.account), std::move(collection.deliver), &syncs);
        }
    };
    auto attempt = [&syncs, append, settle] {
        platform::UnsyncedWrite unsynced;
        switch (TryAppendRecord(append->record, append->queuePath, unsynced)) {
        case AppendOutcome::Busy:
            return false;
        case AppendOutcome::Failed:
            settle();
            append->done(false);
            return true;
        case AppendOutcome::Stored:
            break;
        }
        syncs.Submit(std::move(unsynced), [append](platform::SysResult synced) {
            // The record is in the file, but a power loss may take it: the console must not
            // take it as queued.
            if (!synced) {
                settings::WriteServiceLog("Unable to store queued item in " + append->queuePath + ": " +
                                          synced.Describe());
            }
            append->done(synced.ok());
        });
        settle();
        return true;
    };
    // While another process holds the queue, the append is tried again by a timer; a rewrite of
    // this server's own that is being synced holds it too, and is waited for.
    syncs.AfterWritesTo(append->queuePath, [&loop, attempt, settle, append] {
        platform::RetryOnLoop(loop, kAppendAttempts, kAppendRetryDelay, attempt, [settle, append] {
            ReportHeldRecordFile(append->queuePath);
            settle();
            append->done(false);
        });
    });
}

namespace {

void LogRecordsKept(const std::string& path, const platform::SysResult& failure) {
    settings::WriteServiceLog("Unable to remove collected items from queue file " + path + ": " + failure.Describe() +
                              "; they will be delivered again");
}

// Puts kept (records without the final NUL) in place of the locked file, or removes the file
// when nothing is kept, and tells done whether that happened; a failure is logged. With syncs,
// the new file is written here and its sync and rename are left to the sync thread, so the
// loop does not wait for the disk: the lock stays held until the rename (an append in between
// would be lost), and the loop's own later work on the file waits for it under the key.
void Rewrite(platform::LockedFile& file, std::string kept, platform::SyncWorker* syncs,
             std::function<void(bool replaced)> done) {
    auto finish = [path = file.path(), done = std::move(done)](const platform::SysResult& result) {
        if (!result) LogRecordsKept(path, result);
        done(result.ok());
    };
    if (kept.empty()) {
        finish(file.Remove());
        return;
    }
    kept.push_back('\0');
    if (syncs == nullptr) {
        finish(file.Replace(kept));
        return;
    }
    platform::UnsyncedWrite staged;
    if (auto written = platform::StageReplacement(file.path(), kept, staged); !written) {
        finish(written);
        return;
    }
    auto held = std::make_shared<platform::LockedFile>(std::move(file));
    const std::string key = held->path();
    syncs->Submit(
        std::move(staged),
        [held, finish = std::move(finish)](platform::SysResult replaced) {
            finish(replaced);
            held->Close();
        },
        key);
}

// Hands one collection its result and notes what went out.
void Hand(QueueBook& book, QueueBook::Collected collected, const DeliverResult& deliver) {
    const DeliveryId id = collected.taken.empty() ? 0 : book.nextId();
    const Handout handout = deliver(std::move(collected.result), id);
    if (id != 0 && handout != Handout::RequesterGone) {
        book.Open(std::move(collected.taken));
        if (handout == Handout::NoReplyDue) book.MarkRead(id);
    }
}

// One pass over the file under its lock: the book's removals, and the collections taken from
// waiting (all of them, once the file is locked; none while it is busy).
AttemptOutcome TryPass(QueueBook& book, std::vector<QueueBook::WaitingCollection>& waiting,
                       platform::SyncWorker* syncs) {
    platform::LockedFile file;
    if (file.TryOpen(book.queuePath()) != platform::LockedFile::Outcome::Locked) return AttemptOutcome::Busy;
    std::string text;
    if (!file.ReadAll(text)) return AttemptOutcome::Busy;

    std::vector<QueueBook::WaitingCollection> collections = std::exchange(waiting, {});
    std::vector<std::string> accounts;
    accounts.reserve(collections.size());
    for (const auto& collection : collections) accounts.push_back(collection.account);
    QueueBook::Pass pass = book.Run(text, accounts);
    for (std::size_t i = 0; i < collections.size(); ++i) {
        Hand(book, std::move(pass.collected[i]), collections[i].deliver);
    }
    if (!pass.removed) {
        // Untouched: appends only ever overwrite its last byte (the final NUL).
        book.Leave(std::string_view(text).substr(0, text.empty() ? 0 : text.size() - 1));
        return AttemptOutcome::Done;
    }
    book.Leave(text);
    Rewrite(file, std::move(text), syncs, [&book](bool replaced) { book.RemovalDone(replaced); });
    return AttemptOutcome::Done;
}

// Runs fn once the queue's own writes in flight are done: a rewrite that is still being
// synced holds the queue's lock, and a pass started before it ends would only find it busy.
void AfterQueueWrites(platform::SyncWorker* syncs, const QueueBook& book, std::function<void()> fn) {
    if (syncs != nullptr) {
        syncs->AfterWritesTo(book.queuePath(), std::move(fn));
    } else {
        fn();
    }
}

// Runs the book's next pass after the queue's writes in flight, trying again on the loop while
// another process holds the file; when it gives up, the waiting collections get empty results
// and the read records are tried again later. A pass that leaves work behind (collections that
// came while it waited for nothing, records its collections marked read) schedules the next.
void RunPass(platform::EventLoop& loop, QueueBook& book, platform::SyncWorker* syncs) {
    AfterQueueWrites(syncs, book, [&loop, &book, syncs] {
        platform::RetryOnLoop(
            loop, kCollectionAttempts, kCollectionRetryDelay,
            [&loop, &book, syncs] {
                if (TryPass(book, book.waitingCollections, syncs) == AttemptOutcome::Busy) return false;
                book.passScheduled = false;
                if (!book.waitingCollections.empty()) {
                    // Came while this pass handed out its results: the next pass serves them.
                    book.passScheduled = true;
                    RunPass(loop, book, syncs);
                    return true;
                }
                // A collection answered without a reply counts as read at once.
                RemoveReadRecords(loop, book, syncs);
                return true;
            },
            [&loop, &book, syncs] {
                book.passScheduled = false;
                for (auto& collection : std::exchange(book.waitingCollections, {})) {
                    (void)collection.deliver(std::string(), 0);
                }
                // The records stay out (never handed out again) while the holder keeps the
                // file; their removal is tried again later.
                if (book.removalsWaiting()) {
                    loop.AddTimer(kRemovalRetryDelay, [&loop, &book, syncs] { RemoveReadRecords(loop, book, syncs); });
                }
            });
    });
}

} // namespace

AttemptOutcome TryCollectQueuedItems(QueueBook& book, const std::string& account, const DeliverResult& deliver,
                                     platform::SyncWorker* syncs) {
    std::vector<QueueBook::WaitingCollection> one{{account, deliver}};
    return TryPass(book, one, syncs);
}

AttemptOutcome TryRemoveReadRecords(QueueBook& book, platform::SyncWorker* syncs) {
    if (!book.removalsWaiting()) return AttemptOutcome::Done;
    std::vector<QueueBook::WaitingCollection> none;
    return TryPass(book, none, syncs);
}

void CollectQueuedItems(platform::EventLoop& loop, QueueBook& book, std::string account, DeliverResult deliver,
                        platform::SyncWorker* syncs) {
    if (book.appendsWaiting > 0) {
        book.afterAppends.push_back({std::move(account), std::move(deliver)});
        return;
    }
    book.waitingCollections.push_back({std::move(account), std::move(deliver)});
    if (book.passScheduled) return;
    // With nothing in flight the pass runs now; behind a rewrite, it serves everyone who came
    // meanwhile.
    book.passScheduled = true;
    RunPass(loop, book, syncs);
}

void RemoveReadRecords(platform::EventLoop& loop, QueueBook& book, platform::SyncWorker* syncs) {
    if (book.passScheduled || !book.removalsWaiting()) return;
    book.passScheduled = true;
    // In the next turn, so that the marks of one turn share one rewrite.
    loop.RunNextTurn([&loop, &book, syncs] { RunPass(loop, book, syncs); });
}

} // namespace vserver::accounts
