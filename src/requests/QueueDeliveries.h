#pragma once
// The queues as the requests see them: one QueueBook per queue file, and for each connection
// the collections whose reply its client has not yet shown it read. A client shows that by
// sending its next request after the whole reply left the server, or by ending the connection
// in order once every byte sent to it was acknowledged. A reset, or an end before the reply
// left, may have lost the reply with the client: those records are handed out again.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "accounts/QueueBook.h"
#include "sessions/Server.h"

namespace vserver::requests {

class QueueDeliveries {
public:
    explicit QueueDeliveries(sessions::Server& server) : server_(server) {}
    QueueDeliveries(const QueueDeliveries&) = delete;
    QueueDeliveries& operator=(const QueueDeliveries&) = delete;

    // The book of the queue file at queuePath (the paths are known only once the server has
    // read its settings, so books are made on first use).
    accounts::QueueBook& BookFor(const std::string& queuePath);

    // Notes that delivery id of book went out in the reply just queued for the connection at
    // index.
    void AwaitRead(int index, accounts::QueueBook& book, accounts::DeliveryId id);
    // A request arrived on the connection at index.
    void OnRequest(int index);
    // Everything queued for the connection at index so far has left the server.
    void OnOutputDrained(int index);
    void OnConnectionClosed(int index, bool repliesRead);

private:
    struct Awaited {
        std::uint64_t serial;
        accounts::QueueBook* book;
        accounts::DeliveryId id;
        bool left;   // the whole reply has left the server
    };
    void Settle(const Awaited& awaited, bool read);

    sessions::Server& server_;
    std::map<std::string, std::unique_ptr<accounts::QueueBook>> books_;
    std::unordered_map<int, std::vector<Awaited>> awaiting_;
};

} // namespace vserver::requests
