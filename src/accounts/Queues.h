#pragma once
// The two queues (text messages and forced toolbar sets) that carry items from the console to
// an account's client. A queue is a record file of "account 0xA6 payload CR LF" records (see
// QueueRecords.h). A collection hands an account its payloads; their records leave the file
// only once the client has shown it read the reply (QueueBook), so neither a kill of the
// server nor a client that dies with the reply unread loses an item.

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

#include "accounts/QueueBook.h"
#include "accounts/QueueRecords.h"
#include "platform/DurableWrites.h"
#include "platform/EventLoop.h"

namespace vserver::accounts {

// How often and how far apart a collection tries again while another process holds the queue.
inline constexpr int kCollectionAttempts = 7;
inline constexpr std::chrono::milliseconds kCollectionRetryDelay{500};
// How long read records wait before their removal is tried again once a holder of the queue
// outlasted a collection's attempts.
inline constexpr std::chrono::milliseconds kRemovalRetryDelay{5000};

// Appends one record for account. Neither the account nor the payload is checked. With
// unsynced, the record's sync is left to the caller, as AppendRecord says.
bool QueueItem(const std::string& queuePath, std::string_view account, std::string_view payload,
               platform::UnsyncedWrite* unsynced = nullptr);

// How often and how far apart a queued item's append tries again while the queue is held.
inline constexpr int kAppendAttempts = 26;
inline constexpr std::chrono::milliseconds kAppendRetryDelay{10};

// Appends one record to book's queue file as QueueItem does and tells done (on the loop)
// whether it is stored: true only once the record is on disk. Records waiting together share
// one sync. While the queue's lock is held elsewhere the append is retried on the loop, never
// waited for; collections of the queue that come meanwhile wait for it.
void QueueItem(platform::EventLoop& loop, platform::SyncWorker& syncs, QueueBook& book, std::string_view account,
               std::string_view payload, std::function<void(bool stored)> done);

enum class AttemptOutcome { Done, Busy };

// One pass over book's queue file: Busy when the file cannot be opened and locked now (another
// process holds it); else Done, after deliver was called once with account's records that are
// not out already. Records of read deliveries go in the same pass. The file is only changed
// when records go, and then by replacing it whole; a failed replacement is logged and keeps
// every record on disk (the records out are then handed out again). With syncs, the
// replacement's sync and rename are left to it under the queue's path as the order key, and
// the file's lock is held until they are done.
AttemptOutcome TryCollectQueuedItems(QueueBook& book, const std::string& account, const DeliverResult& deliver,
                                     platform::SyncWorker* syncs = nullptr);

// The same pass without a collection: removes the records of read deliveries, if any.
AttemptOutcome TryRemoveReadRecords(QueueBook& book, platform::SyncWorker* syncs = nullptr);

// Collects on the loop: tries at once and, while the file is busy, again after each retry
// delay by a timer, up to the attempt limit; after that deliver gets an empty result. deliver
// runs once, possibly before this call returns; the loop serves other events while a retry
// waits. With syncs, the collection first waits for the queue's rewrites in flight there, and
// its own are synced there. The book must outlive the loop's turns.
void CollectQueuedItems(platform::EventLoop& loop, QueueBook& book, std::string account, DeliverResult deliver,
                        platform::SyncWorker* syncs = nullptr);

// Removes the records of the deliveries marked read in book, in the next turn of the loop (so
// the marks of one turn share one rewrite), after the queue's writes in flight, trying again
// on the loop while another process holds the file. Nothing happens when nothing was read.
void RemoveReadRecords(platform::EventLoop& loop, QueueBook& book, platform::SyncWorker* syncs = nullptr);

} // namespace vserver::accounts
