#include "requests/QueueDeliveries.h"

#include "accounts/Queues.h"

namespace vserver::requests {

accounts::QueueBook& QueueDeliveries::BookFor(const std::string& queuePath) {
    std::unique_ptr<accounts::QueueBook>& book = books_[queuePath];
    if (!book) book = std::make_unique<accounts::QueueBook>(queuePath);
    return *book;
}

void QueueDeliveries::AwaitRead(int index, accounts::QueueBook& book, accounts::DeliveryId id) {
    awaiting_[index].push_back(Awaited{server_.SerialAt(index), &book, id, server_.OutputQueued(index)});
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
    const std::uint64_t serial = server_.SerialAt(index);
    const std::uint64_t sent = server_.OutputSent(index);
    std::erase_if(it->second, [&](const Awaited& awaited) {
        if (awaited.serial == serial && awaited.replyEnd > sent) return false;
        Settle(awaited, awaited.serial == serial);
        return true;
    });
    if (it->second.empty()) awaiting_.erase(it);
}

void QueueDeliveries::OnConnectionClosed(int index, bool repliesRead) {
    auto it = awaiting_.find(index);
    if (it == awaiting_.end()) return;
    for (const Awaited& awaited : it->second) Settle(awaited, repliesRead);
    awaiting_.erase(it);
}

} // namespace vserver::requests
