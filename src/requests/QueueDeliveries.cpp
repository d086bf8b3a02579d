#include "requests/QueueDeliveries.h"

#include "accounts/Queues.h"

namespace vserver::requests {

accounts::QueueBook& QueueDeliveries::BookFor(const std::string& queuePath) {
    std::unique_ptr<accounts::QueueBook>& book = books_[queuePath];
    if (!book) book = std::make_unique<accounts::QueueBook>(queuePath);
    return *book;
}

void QueueDeliveries::AwaitRead(int index, accounts::QueueBook& book, accounts::DeliveryId id) {
    const net::ConnectionRecord* record = server_.net().FindRecordByIndex(index);
    if (record == nullptr) {
        // Nobody is left to show it read them: the records are handed out again.
        book.Release(id);
        return;
    }
    // The reply normally leaves at the end of the turn, and the drain then says so; outside a
    // turn it has already left.
    const bool left = record->socket.unsentBytes() == 0;
    awaiting_[index].push_back(Awaited{record->serial, &book, id, left});
}

void QueueDeliveries::Settle(const Awaited& awaited, bool read) {
    if (!read) {
        awaited.book->Release(awaited.id);
        return;
    }
    awaited.book->MarkRead(awaited.id);
    accounts::RemoveReadRecords(server_.loop(), *awaited.book, &server_.syncs());
}

void QueueDeliveries::OnRequest(int index) {
    if (awaiting_.empty()) return;
    auto it = awaiting_.find(index);
    if (it == awaiting_.end()) return;
    // A request that arrives while part of the reply still waits here was sent without it.
    const std::uint64_t serial = server_.net().SerialAt(index);
    std::erase_if(it->second, [&](const Awaited& awaited) {
        if (awaited.serial == serial && !awaited.left) return false;
        Settle(awaited, awaited.serial == serial);
        return true;
    });
    if (it->second.empty()) awaiting_.erase(it);
}

void QueueDeliveries::OnOutputDrained(int index) {
    if (awaiting_.empty()) return;
    auto it = awaiting_.find(index);
    if (it == awaiting_.end()) return;
    for (Awaited& awaited : it->second) awaited.left = true;
}

void QueueDeliveries::OnConnectionClosed(int index, bool repliesRead) {
    auto it = awaiting_.find(index);
    if (it == awaiting_.end()) return;
    for (const Awaited& awaited : it->second) Settle(awaited, repliesRead);
    awaiting_.erase(it);
}

} // namespace vserver::requests
