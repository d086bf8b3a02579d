#pragma once
// The request table: one row per request type, naming its handler and who may send it. The
// dispatcher does the shared checks once and sends the common completion unless the handler
// ended the request itself. It owns the liveness checks, because only requests start them and
// only the connections it hears about end them.

#include <span>
#include <string>
#include <string_view>

#include "sessions/Server.h"
#include "requests/QueueDeliveries.h"
#include "requests/UnknownTypeLog.h"
#include "sessions/LivenessChecks.h"
#include "wire/Request.h"

namespace vserver::requests {

enum class RequestEnd {
    Completion,   // the dispatcher sends the common completion with result
    NoReply,      // the handler replied itself, or the request gets no reply
    Later,        // the handler will complete the request when its wait ends
};

struct RequestContext {
    const wire::Request& request;
    int index;              // the requester's connection
    sessions::LivenessChecks& liveness;
    QueueDeliveries& queues;
    std::string result;     // the completion's result text
    RequestEnd end = RequestEnd::Completion;
};

using RequestHandler = void (*)(sessions::Server& server, RequestContext& context);

enum class Sender {
    Anyone,
    Console,   // only the connection logged on as the administrator console
};

struct RequestRow {
    wire::RequestType type;
    RequestHandler handler;
    Sender sender;
};

// Every known request type. Types not listed are unknown.
std::span<const RequestRow> RequestRows();

// The row of a type, or nothing for an unknown type.
const RequestRow* FindRequestRow(int type);

// Hears the traffic of the server's connections while it exists: admits them, takes every
// complete message and tells the waiting work what left and what closed.
class Dispatcher final : public net::ConnectionEvents {
public:
    explicit Dispatcher(sessions::Server& server);
    ~Dispatcher() override;
    Dispatcher(const Dispatcher&) = delete;
    Dispatcher& operator=(const Dispatcher&) = delete;

    bool DispatchRequest(std::string_view text, int index);

    bool Admit(const platform::NetAddress& peer) override { return server_.AdmitFrom(peer); }
    void OnAccepted(net::ConnectionRecord& record) override { server_.JudgeConsoleAddress(record); }
    void OnMessage(std::string_view text, int index) override {
        // Whatever the request, sending it shows the client read the replies before it.
        queues_.OnRequest(index);
        DispatchRequest(text, index);
    }
    void OnOutputDrained(int index) override { queues_.OnOutputDrained(index); }
    void OnConnectionClosed(int index, bool repliesRead) override {
        liveness_.OnConnectionClosed(index);
        unknownTypes_.OnConnectionClosed(index);
        queues_.OnConnectionClosed(index, repliesRead);
    }

    const sessions::LivenessChecks& liveness() const { return liveness_; }

private:
    // True when the connection at index may send console requests: the console's own, or,
    // when they are open to every connection, any whose address the console's rules allow. A
    // refusal is logged.
    bool ConsoleMaySend(int index, int type) const;

    sessions::Server& server_;
    sessions::LivenessChecks liveness_;
    UnknownTypeLog unknownTypes_;
    QueueDeliveries queues_;
};

} // namespace vserver::requests
