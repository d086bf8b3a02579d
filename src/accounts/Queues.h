#pragma once
// The two queues (text messages and forced toolbar sets) that carry items from the console to
// an account's client. A queue is a record file of "account 0xA6 payload CR LF" records; a
// collection hands an account all its payloads and rewrites the file with the rest.
//
// A payload (or account) holding CR or LF cannot be stored as is, because readers cut records
// at CR. Such a record is stored as "account 0xA6 escaped-payload 0xA6 escaped-lines": in the
// escaped texts "\" is written "\\", CR "\r" and LF "\n". Readers of the plain format take the
// first two fields only, so they still see one record with the payload's lines joined by
// visible "\r\n"; this code restores the exact bytes. Every other record is stored byte for
// byte in the plain format, and plain files written by other tools are read as before.

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

#include "platform/DurableWrites.h"
#include "platform/EventLoop.h"
#include "platform/LockedFile.h"

namespace vserver::accounts {

inline constexpr std::string_view kEscapedRecordMarker = "escaped-lines";

// How often and how far apart a collection tries again while another process holds the queue.
inline constexpr int kCollectionAttempts = 7;
inline constexpr std::chrono::milliseconds kCollectionRetryDelay{500};

// The record text QueueItem appends, CR LF included.
std::string EncodeQueueRecord(std::string_view account, std::string_view payload);

// Appends one record for account. Neither the account nor the payload is checked. With
// unsynced, the record's sync is left to the caller, as AppendRecord says.
bool QueueItem(const std::string& queuePath, std::string_view account, std::string_view payload,
               platform::UnsyncedWrite* unsynced = nullptr);

// How often and how far apart a queued item's append tries again while the queue is held.
inline constexpr int kAppendAttempts = 26;
inline constexpr std::chrono::milliseconds kAppendRetryDelay{10};

// Appends one record as QueueItem does and tells done (on the loop) whether it is stored:
// true only once the record is on disk. Records waiting together share one sync. While the
// queue's lock is held elsewhere the append is retried on the loop, never waited for.
void QueueItem(platform::EventLoop& loop, platform::SyncWorker& syncs, const std::string& queuePath,
               std::string_view account, std::string_view payload, std::function<void(bool stored)> done);

// Takes account's records out of text (a queue file's bytes), in place: their payloads are
// appended to result, joined by 0xB0, and text is left holding the other records, each trimmed
// and followed by CR LF, without the final NUL. True when account had a record. Records that
// are already in that form stay where they are until an earlier one is taken, so a queue
// without records for account is only scanned, never copied.
bool TakeRecords(std::string& text, std::string_view account, std::string& result);

// How many records text (a queue file's bytes) holds, cut and trimmed as TakeRecords cuts them.
std::size_t CountQueuedRecords(std::string_view text);

enum class AttemptOutcome { Done, Busy };

// Whether a collection's reply has left the server. Only then may its records go: a kill
// between the two then never loses an item; at worst it comes again.
enum class Handover {
    Transmitted,   // the peer has the reply (or none was due): remove the records now
    Pending,       // the reply still waits in the connection's queues: remove them once it left
    Failed,        // the requester has gone: keep the records for the next collection
};
using DeliverResult = std::function<Handover(std::string result)>;

// The records a collection delivered whose reply had not yet left when it was sent: those of
// account in the first size bytes of the queue file as it was (identity) when read.
struct DeliveredRecords {
    std::string queuePath;
    std::string account;
    platform::LockedFile::Identity identity;
    std::size_t size = 0;
};

// One try at collecting: Busy when the queue file cannot be opened and locked now (another
// process holds it); else Done after deliver was called once with the result. The queue file
// is only changed when the account had records and deliver answered Transmitted, and then by
// replacing it whole: a removal that fails is logged and keeps every record on disk (the same
// items are then delivered again by the next collection). On Pending, *pending tells what
// RemoveDeliveredRecords removes later. With syncs, the replacement's sync and rename are left
// to it, under queuePath as the order key, and the file's lock is held until they are done.
AttemptOutcome TryCollectQueuedItems(const std::string& queuePath, std::string_view account,
                                     const DeliverResult& deliver, DeliveredRecords* pending = nullptr,
                                     platform::SyncWorker* syncs = nullptr);

// Removes records a collection delivered once its reply has left. Busy while another process
// holds the file. When the file was replaced meanwhile (another collection), nothing is
// removed: the records may have moved, and delivering them again is safe where guessing is not.
// syncs as for TryCollectQueuedItems.
AttemptOutcome RemoveDeliveredRecords(const DeliveredRecords& delivered, platform::SyncWorker* syncs = nullptr);

// Collects on the loop: tries at once and, while the file is busy, again after each retry
// delay by a timer, up to the attempt limit; after that deliver gets an empty result. deliver
// runs once, possibly before this call returns; the loop serves other events while a retry
// waits. A Pending handover is followed by transmitted(), asked once per retry delay until it
// answers Transmitted (the records are removed then) or Failed (they stay). With syncs, the
// collection first waits for the queue's rewrites in flight there, and its own are synced there.
void CollectQueuedItems(platform::EventLoop& loop, std::string queuePath, std::string account, DeliverResult deliver,
                        std::function<Handover()> transmitted = {}, platform::SyncWorker* syncs = nullptr);

} // namespace vserver::accounts
