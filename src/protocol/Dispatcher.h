#pragma once
// The request table: one row per request type, naming its handler and who may send it. The
// dispatcher (ServerCore::DispatchRequest) does the shared checks once and sends the common
// completion unless the handler ended the request itself.

#include <span>
#include <string>

#include "protocol/Request.h"

namespace vserver::net { class ServerCore; }

namespace vserver::protocol {

enum class RequestEnd {
    Completion,   // the dispatcher sends the common completion with result
    NoReply,      // the handler replied itself, or the request gets no reply
    Later,        // the handler will complete the request when its wait ends
};

struct RequestContext {
    const Request& request;
    int index;              // the requester's connection
    std::string result;     // the completion's result text
    RequestEnd end = RequestEnd::Completion;
};

using RequestHandler = void (*)(net::ServerCore& server, RequestContext& context);

enum class Sender {
    Anyone,
    Console,   // only the connection logged on as the administrator console
};

struct RequestRow {
    int type;
    RequestHandler handler;
    Sender sender;
};

// Every known request type. Types not listed are unknown.
std::span<const RequestRow> RequestRows();

// The row of a type, or nothing for an unknown type.
const RequestRow* FindRequestRow(int type);

} // namespace vserver::protocol
