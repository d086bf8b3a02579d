#pragma once
// What this server has handed out of one queue file and not yet removed from it. A collection
// leaves its records in the file until the client shows it read the reply; meanwhile the book
// keeps them from being handed out again, and once they are read it says which ones to remove.
//
// Records are named by their own bytes, never by where the file system put the file: among
// equal records of the queue the earliest ones are the ones handed out, because a collection
// always takes an account's records in file order and later appends only add at the end. That
// holds only for the file as this server left it, so the book also keeps a fingerprint of the
// bytes it last left there (appends never change them); when another program rewrote the file
// meanwhile, the book forgets what it handed out, and those records come again: at least once,
// never lost, never a removal of records that were not delivered.
//
// Passes over the file run one at a time (the queue's lock, and this server's writes to it in
// order); the book is used on the loop thread only.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vserver::accounts {

using DeliveryId = std::uint64_t;

// How a collection's result reached its requester.
enum class Handout {
    AwaitingRead,    // the reply is on its way: the records stay out until MarkRead or Release
    NoReplyDue,      // no reply goes out (a request id of 0): the records count as read
    RequesterGone,   // nobody took it: the records stay, free for the next collection
};
// Sends a collection's result; id names the records handed out with it, 0 when there are none
// (the answer is then not looked at).
using DeliverResult = std::function<Handout(std::string result, DeliveryId id)>;

class QueueBook {
public:
    explicit QueueBook(std::string queuePath) : path_(std::move(queuePath)) {}
    QueueBook(const QueueBook&) = delete;
    QueueBook& operator=(const QueueBook&) = delete;

    const std::string& queuePath() const { return path_; }

    // The client showed it read delivery id's reply: its records leave the file with the next
    // pass. Ids the book no longer knows are ignored.
    void MarkRead(DeliveryId id);
    // Delivery id's reply was not read (the connection was reset, or ended before the reply
    // left): its records are handed out again by the next collection.
    void Release(DeliveryId id);
    // True when read records wait for a pass to remove them.
    bool removalsWaiting() const;
    // Deliveries handed out and not yet removed (read or not).
    std::size_t outstanding() const { return deliveries_.size(); }

    // What one pass collected for one account.
    struct Collected {
        std::string result;                // the account's payloads, joined by 0xB0
        std::vector<std::string> taken;    // their records as read
    };
    // One pass over the file's bytes, as read under its lock.
    struct Pass {
        bool removed = false;              // read records were dropped: text holds what stays
        std::vector<Collected> collected;  // one for each account asked for, in the same order
    };
    // Checks that text is still the file this book knows (forgetting every delivery, with a
    // service-log line, when another program rewrote it), then drops the records of read
    // deliveries and collects each account's records that are not out already. An account
    // named twice (in any case) gets its records the first time only. When records were
    // dropped, text becomes the records to keep (KeepRecords), and the deliveries whose records
    // they were are under way until RemovalDone.
    Pass Run(std::string& text, std::span<const std::string> accounts);

    // The id the next delivery will have, for the requester to note before it is opened.
    DeliveryId nextId() const { return nextId_; }
    // Notes the records of a pass's collection as handed out under nextId() (then advances it).
    void Open(std::vector<std::string> records);
    // Notes the file as this pass leaves it: its bytes up to the final NUL (the kept records
    // after a rewrite, or the file as read; appends only ever change its last byte).
    void Leave(std::string_view fileBytes);
    // The rewrite of the pass that removed records is in place (or not: the file is then
    // unknown, and every delivery comes again).
    void RemovalDone(bool replaced);
    // Forgets every delivery and the file: they are all handed out again.
    void Forget();

    // Collections waiting for the next pass over the file, which serves them together: while a
    // rewrite of the file is being synced, every collection that arrives waits for the same
    // next pass instead of each taking a pass (and a sync) of its own.
    struct WaitingCollection {
        std::string account;
        DeliverResult deliver;
    };
    std::vector<WaitingCollection> waitingCollections;
    // Whether a pass is on its way (for waiting collections or read records to remove).
    bool passScheduled = false;
    // Appends that wait for the file (a rewrite being synced, another process's lock), and the
    // collections that came meanwhile: those are served only after the appends, so that a
    // client that queues an item and then collects, without waiting for the first reply, finds
    // its item.
    int appendsWaiting = 0;
    std::vector<WaitingCollection> afterAppends;

private:
    enum class State { AwaitingRead, Read, Removing };
    struct Delivery {
        DeliveryId id;
        State state;
        std::vector<std::string> records;
    };
    struct Fingerprint {
        std::size_t size = 0;
        std::size_t hash = 0;
    };
    static Fingerprint FingerprintOf(std::string_view bytes);
    // True when text begins with the bytes the book last left in the file.
    bool StillKnown(std::string_view text) const;
    Delivery* Find(DeliveryId id);

    std::string path_;
    std::vector<Delivery> deliveries_;
    std::optional<Fingerprint> known_;
    DeliveryId nextId_ = 1;
};

} // namespace vserver::accounts
