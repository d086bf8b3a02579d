#pragma once
// The client side of the server's protocol: building request texts, cutting replies into
// fields, and a blocking TCP connection that reads whole messages. Used by the administrator
// console, the load generator and the integration tests.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "wire/Protocol.h"

namespace vserver::client {

using wire::kFieldSeparator;
using wire::kItemSeparator;
using wire::kMessageEnd;
using wire::kSectionSeparator;

// The positions of a request: fields 1 to 8 of section 1, then sections 2 to 4.
struct Request {
    long long id = 0;
    int type = 0;
    std::string label;        // field 5
    std::string account;      // field 6
    std::string argument1;    // field 7
    std::string argument2;    // field 8
    std::optional<int> clientKind;   // section 2
    std::string version;             // section 3
    std::string detail;              // section 4
};

// The request's bytes, ending in 0xBB and a line feed. Sections 2 to 4 are written only when
// one of them is set.
std::string EncodeRequest(const Request& request);

// Cuts a message (without its 0xBB) at separator into all of its fields.
std::vector<std::string> SplitFields(std::string_view message, char separator = kFieldSeparator);

// A character of text that cannot travel inside one field, or nothing.
std::optional<char> FirstReservedByte(std::string_view text);

// A message as the server writes it: the fields joined by 0xA7, then 0xBB and a line feed.
std::string EncodeMessage(const std::vector<std::string_view>& fields);

// The greeting every accepted connection receives first, with its terminator.
inline constexpr std::string_view kGreeting = "1\xA7" "0\xA7\xBB\n";

// The text of a message from field number first (counted from 1) to its end, separators
// included: the result of a reply whose list holds 0xA7 itself (the session list). Empty when
// the message has fewer fields.
std::string_view FieldsFrom(std::string_view message, std::size_t first);

// A reply cut into its leading positions: message code, request id, request type and the
// rest. Short-form replies have no type and no result.
struct Reply {
    std::string code;
    std::string id;
    std::string type;
    std::string result;   // everything after the third separator, unsplit
    std::size_t fieldCount = 0;
    std::string text;     // the whole message
};
Reply ParseReply(std::string_view message);

// "31A7" or "31 a7" into bytes; nothing for an odd number of digits or a non-hex character.
std::optional<std::string> ParseHex(std::string_view hex);
// Bytes as two lower-case hex digits each, without spaces.
std::string ToHex(std::string_view bytes);

// This machine's name, as the network knows it; empty when the system cannot tell.
std::string LocalHostName();

class Connection {
public:
    Connection() = default;
    ~Connection();
    Connection(Connection&& other) noexcept;
    Connection& operator=(Connection&& other) noexcept;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Connects; an error text in *error when it fails. A non-empty localAddress (a numeric
    // address of this machine) is the address the connection comes from.
    bool Open(const std::string& host, int port, std::chrono::milliseconds timeout, std::string* error,
              const std::string& localAddress = {});
    bool is_open() const { return socket_ != -1; }
    // The system's socket, for a test that sets an option the client does not offer.
    std::intptr_t nativeHandle() const { return socket_; }
    void Close();
    // Ends the connection in order: tells the server no more requests come, then waits until
    // the server has closed its end (anything it still sends is dropped), at most timeout, and
    // closes. Once it returns, the server has finished with this connection, so a program run
    // right after meets no leftover of it (a console logon still held, say).
    void Finish(std::chrono::milliseconds timeout);

    bool SendRaw(std::string_view bytes);
    bool Send(const Request& request) { return SendRaw(EncodeRequest(request)); }

    // Reads the next message, returning its text without 0xBB and the line feed. Nothing when
    // the timeout passes or the peer closes first (then closed() is true).
    std::optional<std::string> ReadMessage(std::chrono::milliseconds timeout);
    // True when the peer has closed the connection (seen by a read).
    bool closed() const { return peerClosed_; }
    // True when nothing arrives within the timeout (and the connection stays open).
    bool ExpectSilence(std::chrono::milliseconds timeout);

private:
    // The system's socket, wide enough for a Winsock SOCKET; -1 when closed on every system.
    std::intptr_t socket_ = -1;
    bool peerClosed_ = false;
    std::string buffer_;
};

} // namespace vserver::client
