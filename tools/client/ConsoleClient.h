#pragma once
// A logged-on administrator console session over one Connection: the console logon, numbered
// requests and the wait for the reply that carries each request's id. It owns the connection
// and the next request id; what a reply's result means is the caller's business.

#include <chrono>
#include <string>

#include "client/ProtocolClient.h"

namespace vserver::client {

inline constexpr const char* kConsoleAccount = "<Service Administrator Console>";
inline constexpr const char* kClientVersion = "9.0";

class ConsoleClient {
public:
    enum class Status {
        Ok,
        Refused,      // the server answered and said no (a logon refusal)
        Unreachable,  // no connection, no greeting, no answer in time, or the server hung up
    };
    struct Outcome {
        Status status = Status::Ok;
        std::string error;   // one line naming what failed, when status is not Ok
        Reply reply;         // the reply, when status is Ok
        int refusalCode = 0; // the logon result code, when status is Refused
    };

    explicit ConsoleClient(std::chrono::milliseconds timeout) : timeout_(timeout) {}

    // Connects and reads the greeting.
    Outcome Connect(const std::string& host, int port);
    // Logs on as the administrator console with the given session label and detail.
    Outcome Logon(const std::string& label, const std::string& detail);
    // Sends request under the next request id and waits for the reply that carries that id.
    // Liveness checks that arrive meanwhile are answered; other pushed messages are skipped.
    Outcome Call(Request request, const std::string& what);

    // Ends the session in order (see Connection::Finish), within the timeout.
    void Finish() { connection_.Finish(timeout_); }

    // What a logon refusal code means, for an error line.
    static std::string ExplainRefusal(int code, const std::string& serverVersion);

private:
    Outcome Unreachable(std::string error) const;

    std::chrono::milliseconds timeout_;
    Connection connection_;
    std::string peer_;
    long long nextId_ = 1;
};

} // namespace vserver::client
