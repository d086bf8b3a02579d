#include "accounts/Queues.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "accounts/RecordFile.h"
#include "platform/LockedFile.h"
#include "platform/Retry.h"
#include "platform/TextCase.h"
#include "settings/ServiceLog.h"
#include "wire/Fields.h"

namespace vserver::accounts {

namespace {

constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kTrimmed = " \t\r\n";

bool HoldsLineBreak(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

void AppendEscaped(std::string& out, std::string_view text) {
    for (char c : text) {
        switch (c) {
        case '\\': out.append("\\\\"); break;
        case '\r': out.append("\\r"); break;
        case '\n': out.append("\\n"); break;
        default: out.push_back(c);
        }
    }
}

std::string Unescaped(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char next = i + 1 < text.size() ? text[i + 1] : '\0';
        if (text[i] == '\\' && (next == '\\' || next == 'r' || next == 'n')) {
            out.push_back(next == 'r' ? '\r' : next == 'n' ? '\n' : '\\');
            ++i;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

std::string_view Trim(std::string_view text) {
    std::size_t first = text.find_first_not_of(kTrimmed);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(kTrimmed) - first + 1);
}

} // namespace

std::string EncodeQueueRecord(std::string_view account, std::string_view payload) {
    std::string record;
    if (HoldsLineBreak(account) || HoldsLineBreak(payload)) {
        AppendEscaped(record, account);
        record.push_back(wire::kSectionSeparator);
        AppendEscaped(record, payload);
        record.push_back(wire::kSectionSeparator);
        record.append(kEscapedRecordMarker);
    } else {
        record.reserve(account.size() + payload.size() + 3);
        record.append(account).push_back(wire::kSectionSeparator);
        record.append(payload);
    }
    record.append(kLineEnd);
    return record;
}

bool QueueItem(const std::string& queuePath, std::string_view account, std::string_view payload,
               platform::UnsyncedWrite* unsynced) {
    return AppendRecord(EncodeQueueRecord(account, payload), queuePath, unsynced);
}

void QueueItem(platform::EventLoop& loop, platform::SyncWorker& syncs, const std::string& queuePath,
               std::string_view account, std::string_view payload, std::function<void(bool stored)> done) {
    struct Append {
        std::string queuePath;
        std::string record;
        std::function<void(bool)> done;
    };
    auto append = std::make_shared<Append>(Append{queuePath, EncodeQueueRecord(account, payload), std::move(done)});
    auto attempt = [&syncs, append] {
        platform::UnsyncedWrite unsynced;
        switch (TryAppendRecord(append->record, append->queuePath, unsynced)) {
        case AppendOutcome::Busy:
            return false;
        case AppendOutcome::Failed:
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
        return true;
    };
    // While another process holds the queue, the append is tried again by a timer; a rewrite of
    // this server's own that is being synced holds it too, and is waited for.
    syncs.AfterWritesTo(queuePath, [&loop, attempt, append] {
        platform::RetryOnLoop(loop, kAppendAttempts, kAppendRetryDelay, attempt, [append] {
            ReportHeldRecordFile(append->queuePath);
            append->done(false);
        });
    });
}

namespace {

// The account and payload of a trimmed record, its escapes undone.
bool ForAccount(std::string_view piece, std::string_view account, std::string& result) {
    std::string_view name = wire::ExtractField(piece, wire::kSectionSeparator, 1);
    const bool escaped = wire::ExtractField(piece, wire::kSectionSeparator, 3) == kEscapedRecordMarker;
    if (!(escaped ? platform::EqualNoCase(Unescaped(name), account) : platform::EqualNoCase(name, account))) {
        return false;
    }
    std::string_view payload = wire::ExtractField(piece, wire::kSectionSeparator, 2);
    // Empty payloads add nothing, not even a separator, until the result holds text.
    if (!result.empty()) result.push_back(wire::kItemSeparator);
    if (escaped) {
        result.append(Unescaped(payload));
    } else {
        result.append(payload);
    }
    return true;
}

} // namespace

bool TakeRecords(std::string& text, std::string_view account, std::string& result) {
    const std::size_t end = std::min(text.find('\0'), text.size());
    std::size_t read = 0;
    std::size_t write = 0;   // kept records lie before write; write never passes read
    std::string spill;       // used instead when a kept record would overrun unread bytes
    bool spilled = false;
    bool found = false;
    while (read < end) {
        std::size_t cut = text.find('\r', read);
        if (cut > end) cut = end;
        std::size_t next = cut < end ? cut + 1 : end;
        std::string_view piece = Trim(std::string_view(text).substr(read, cut - read));
        read = next;
        if (piece.empty()) continue;
        const std::size_t start = static_cast<std::size_t>(piece.data() - text.data());
        const std::size_t length = piece.size();
        if (ForAccount(piece, account, result)) {
            found = true;
        } else if (spilled) {
            spill.append(piece).append(kLineEnd);
        } else if (write == start && text.compare(start + length, 2, kLineEnd) == 0) {
            write = start + length + 2;   // in place and in form already
        } else if (write + length + 2 <= next ||
                   (write + length + 2 == next + 1 && next < end && text[next] == '\n')) {
            // Overwrites at most the line feed after this record's CR, which the next record's
            // trimming would drop anyway.
            std::memmove(text.data() + write, piece.data(), length);
            text[write + length] = '\r';
            text[write + length + 1] = '\n';
            write += length + 2;
        } else {
            spill.assign(text, 0, write);
            spill.append(piece).append(kLineEnd);
            spilled = true;
        }
        read = std::max(read, write);
    }
    if (spilled) {
        text = std::move(spill);
    } else {
        text.resize(write);
    }
    return found;
}

std::size_t CountQueuedRecords(std::string_view text) {
    text = text.substr(0, text.find('\0'));
    std::size_t count = 0;
    while (!text.empty()) {
        const std::size_t cut = std::min(text.find('\r'), text.size());
        if (!Trim(text.substr(0, cut)).empty()) ++count;
        text.remove_prefix(std::min(cut + 1, text.size()));
    }
    return count;
}

namespace {

void LogRecordsKept(const std::string& path, const platform::SysResult& failure) {
    settings::WriteServiceLog("Unable to remove collected items from queue file " + path + ": " + failure.Describe() +
                              "; they will be delivered again");
}

// Puts kept (records without the final NUL) in place of the locked file, or removes the file
// when nothing is kept; a failure is logged and leaves every record where it was. With syncs,
// the new file is written here and its sync and rename are left to the sync thread, so the
// loop does not wait for the disk: the lock stays held until the rename (an append in between
// would be lost), and the loop's own later work on the file waits for it under the key.
void Rewrite(platform::LockedFile& file, std::string kept, platform::SyncWorker* syncs, const std::string& key) {
    if (kept.empty()) {
        if (auto removed = file.Remove(); !removed) LogRecordsKept(file.path(), removed);
        return;
    }
    kept.push_back('\0');
    if (syncs == nullptr) {
        if (auto replaced = file.Replace(kept); !replaced) LogRecordsKept(file.path(), replaced);
        return;
    }
    platform::UnsyncedWrite staged;
    if (auto written = platform::StageReplacement(file.path(), kept, staged); !written) {
        LogRecordsKept(file.path(), written);
        return;
    }
    auto held = std::make_shared<platform::LockedFile>(std::move(file));
    syncs->Submit(
        std::move(staged),
        [held](platform::SysResult replaced) {
            if (!replaced) LogRecordsKept(held->path(), replaced);
            held->Close();
        },
        key);
}

// How often a collection looks whether its reply has left, and for how long.
constexpr std::chrono::milliseconds kHandoverCheckDelay{5};
constexpr int kHandoverChecks = 2000;

} // namespace

AttemptOutcome TryCollectQueuedItems(const std::string& queuePath, std::string_view account,
                                     const DeliverResult& deliver, DeliveredRecords* pending,
                                     platform::SyncWorker* syncs) {
    platform::LockedFile file;
    if (file.TryOpen(queuePath) != platform::LockedFile::Outcome::Locked) return AttemptOutcome::Busy;
    std::string text;
    if (!file.ReadAll(text)) return AttemptOutcome::Busy;

    const std::size_t size = text.size();
    std::string result;
    if (!TakeRecords(text, account, result)) {
        // Nothing to take: the file stays exactly as it is (same file, same stamps).
        (void)deliver(std::string());
        return AttemptOutcome::Done;
    }
    switch (deliver(std::move(result))) {
    case Handover::Transmitted:
        Rewrite(file, std::move(text), syncs, queuePath);
        break;
    case Handover::Pending:
        if (pending != nullptr) *pending = {queuePath, std::string(account), file.identity(), size};
        break;
    case Handover::Failed:
        break;
    }
    return AttemptOutcome::Done;
}

AttemptOutcome RemoveDeliveredRecords(const DeliveredRecords& delivered, platform::SyncWorker* syncs) {
    platform::LockedFile file;
    if (file.TryOpen(delivered.queuePath) != platform::LockedFile::Outcome::Locked) return AttemptOutcome::Busy;
    std::string text;
    if (!file.ReadAll(text) || file.identity() != delivered.identity || text.size() < delivered.size ||
        delivered.size == 0) {
        return AttemptOutcome::Done;
    }
    // Appends since the read stepped back onto the old last byte (its final NUL) and went on
    // from there, so the old records end one byte before the old size; without appends the
    // file is still exactly what was read.
    const std::size_t oldEnd = text.size() == delivered.size ? text.size() : delivered.size - 1;
    std::string newer = text.substr(oldEnd);
    if (!newer.empty() && newer.back() == '\0') newer.pop_back();
    text.resize(oldEnd);
    std::string again;   // delivered already
    (void)TakeRecords(text, delivered.account, again);
    text.append(newer);
    Rewrite(file, std::move(text), syncs, delivered.queuePath);
    return AttemptOutcome::Done;
}

namespace {

// A collection whose records wait for their reply to reach the peer.
struct PendingRemoval {
    std::string queuePath;   // as the collection was asked for
    DeliveredRecords records;
    std::function<Handover()> transmitted;
    platform::SyncWorker* syncs = nullptr;   // where the removal's rewrite is synced, if anywhere
    bool settled = false;
};

std::vector<std::shared_ptr<PendingRemoval>>& PendingRemovals() {
    static std::vector<std::shared_ptr<PendingRemoval>> pending;
    return pending;
}

// Removes the records once the reply has reached the peer, or gives up on them when it never
// will; true when nothing is left to do. syncs as for RemoveDeliveredRecords.
bool Settle(PendingRemoval& pending, platform::SyncWorker* syncs) {
    if (pending.settled) return true;
    Handover now = pending.transmitted();
    if (now == Handover::Pending) return false;
    if (now == Handover::Transmitted && RemoveDeliveredRecords(pending.records, syncs) == AttemptOutcome::Busy) {
        return false;
    }
    pending.settled = true;
    return true;
}

// A client that collects again has received (and acknowledged) the earlier reply by now, so
// that collection's records go first and are not handed out twice. Their rewrite is finished
// at once, as the new collection reads the file right after.
void SettleEarlierCollections(const std::string& queuePath) {
    auto& all = PendingRemovals();
    for (const auto& pending : all) {
        if (pending->queuePath == queuePath) (void)Settle(*pending, nullptr);
    }
    std::erase_if(all, [](const auto& pending) { return pending->settled; });
}

} // namespace

void CollectQueuedItems(platform::EventLoop& loop, std::string queuePath, std::string account, DeliverResult deliver,
                        std::function<Handover()> transmitted, platform::SyncWorker* syncs) {
    auto pending = std::make_shared<PendingRemoval>(PendingRemoval{queuePath, {}, std::move(transmitted), syncs});
    auto shared = std::make_shared<DeliverResult>(std::move(deliver));
    platform::EventLoop* loopPointer = &loop;
    auto start = [queuePath, account = std::move(account), shared, pending, loopPointer]() mutable {
        platform::RetryOnLoop(
            *loopPointer, kCollectionAttempts, kCollectionRetryDelay,
            [queuePath = std::move(queuePath), account = std::move(account), shared, pending, loopPointer] {
                SettleEarlierCollections(queuePath);
                if (TryCollectQueuedItems(queuePath, account, *shared, &pending->records, pending->syncs) ==
                    AttemptOutcome::Busy) {
                    return false;
                }
                if (pending->records.size == 0 || !pending->transmitted) return true;
                // The reply is still on its way: its records go once it has reached the peer.
                PendingRemovals().push_back(pending);
                platform::RetryOnLoop(
                    *loopPointer, kHandoverChecks, kHandoverCheckDelay,
                    [pending] {
                        if (!Settle(*pending, pending->syncs)) return false;
                        std::erase(PendingRemovals(), pending);
                        return true;
                    },
                    [pending] {
                        pending->settled = true;
                        std::erase(PendingRemovals(), pending);
                    });
                return true;
            },
            [shared] { (void)(*shared)(std::string()); });
    };
    // A rewrite of this queue that is still being synced holds its lock: the collection starts
    // once it is done rather than finding the file busy.
    if (syncs != nullptr) {
        syncs->AfterWritesTo(queuePath, std::move(start));
    } else {
        start();
    }
}

} // namespace vserver::accounts
