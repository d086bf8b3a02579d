#pragma once
// The connections of the server: its listening sockets, the table of connections and the
// sockets' traffic, with a fair share of work per connection and turn. It knows nothing of the
// requests or of the server's settings: what arrives, what drains and what closes is told to
// the ConnectionEvents listener above, which also decides whom to admit. It only points to the
// event loop, which the run loop owns.

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/ConnectionTable.h"
#include "platform/EventLoop.h"
#include "platform/common/NetAddress.h"
#include "wire/Reply.h"

namespace vserver::net {

// What the layers above do with a connection's traffic: each complete message goes to the
// request dispatcher, and whoever waits on a connection hears when its output left and when
// it closes.
class ConnectionEvents {
public:
    virtual ~ConnectionEvents() = default;
    // Asked for each accepted connection before it gets a record; false closes it at once, so a
    // refused connection never holds an index.
    virtual bool Admit(const platform::NetAddress& peer) = 0;
    // The connection has its record, and nothing was sent to it yet.
    virtual void OnAccepted(ConnectionRecord& record) = 0;
    virtual void OnMessage(std::string_view text, int index) = 0;
    // Every byte queued for the connection so far has been handed to the system.
    virtual void OnOutputDrained(int index) = 0;
    // Called from the loop after the close, never from inside the closing call. repliesRead is
    // true when the peer ended the connection in order after acknowledging every byte sent to
    // it: a client process that dies with a reply unread resets the connection instead.
    virtual void OnConnectionClosed(int index, bool repliesRead) = 0;
};

// Who ends a connection: the server (a logoff, a disconnect, a fault) or the peer, in order.
// A peer's reset or failure counts as the server's: nothing can be said of what it read.
enum class CloseCause { Server, PeerEnded };

// Why the listeners could not be opened: the fixed sentence of the service log, and the cause
// naming the port or call and the system error.
struct OpenFailure {
    std::string text;
    std::string cause;
};

class Network {
public:
    // Where the connections' own lines go (the service log of the layer above).
    using LogLine = void (*)(std::string_view line);

    Network(platform::EventLoop& loop, LogLine log);
    ~Network();
    Network(const Network&) = delete;
    Network& operator=(const Network&) = delete;

    // Starts the system's socket support.
    std::optional<OpenFailure> StartSockets();
    // Opens a listener on port on each of addresses, or one on every local address when there
    // are none; with port 0 the system chooses one port for all. shownPort is the port a failure
    // names. Nothing stays open after a failure.
    std::optional<OpenFailure> Listen(int port, int shownPort, const std::vector<platform::NetAddress>& addresses);
    // Closes every connection and the listeners.
    void CloseAll();

    // Accepts one connection waiting on listener; false when none waits or accepting failed.
    bool AcceptClient(platform::IoHandle listener);
    int NextFreeIndex() const;
    ConnectionRecord* FindRecordByIndex(int index) const { return connections.Find(index); }
    // Closes the connection and removes its record; the record's memory is released once the
    // current event has been handled, so a caller on its stack may still return through it.
    bool CloseIndex(int index, CloseCause cause = CloseCause::Server);
    // Sends text followed by the end byte and a line feed. False when the index is unknown.
    // A non-zero serial names the connection exactly: work that finishes after a wait passes
    // the serial it started with, so a newer connection that got the same index is not
    // answered in the requester's place.
    bool SendToIndex(std::string_view text, int index, std::uint64_t serial = 0);

    // Hands a received chunk (or, when resuming, the rest of an earlier one) to the
    // connection's framing and dispatches the complete messages in order. One connection gets
    // a bounded share of work per loop turn (kMessagesPerTurn messages or kReplyBytesPerTurn
    // bytes of replies, whichever comes first); the rest of its input waits for the next turn,
    // after the other connections had theirs.
    void ServeInput(ConnectionSocket& socket, wire::MessageAssembler& input, std::string_view chunk, bool resuming);
    static constexpr int kMessagesPerTurn = 32;
    static constexpr std::uint64_t kReplyBytesPerTurn = 64 * 1024;
    // The unfinished messages of all connections together may hold no more than this; past
    // it the largest holders are closed.
    static constexpr std::size_t kPartialInputLimit = 32 * 1024 * 1024;
    std::size_t partialInputBytes() const { return partialInputBytes_; }
    // Who is told of the connections' traffic; every connection is admitted and nothing is
    // dispatched while none is set. The events object must outlive its registration.
    void SetConnectionEvents(ConnectionEvents* events) { events_ = events; }
    // Sends the common completion of a request: "1", request id, and for the long-form types
    // the request type and result. Nothing for an id of 0 or less.
    void SendCompletion(int index, int requestId, int requestType, std::string_view result,
                        std::uint64_t serial = 0);
    // A request that ends later (see ConnectionSocket::ReserveReply): where its reply goes,
    // and whether it holds its connection's input.
    struct LaterReply {
        int index = -1;
        std::uint64_t serial = 0;   // 0 when the connection was already gone
        std::uint64_t slot = 0;
        bool inputHeld = false;
    };
    // Reserves the place of the reply of the connection at index; with holdInput its later
    // requests wait for this one as well (see ConnectionSocket::HoldInput).
    LaterReply ReserveReply(int index, bool holdInput);
    // Ends such a request: puts its common completion in its place and releases the input it
    // holds. Nothing happens when that connection has gone meanwhile.
    void FinishLaterReply(LaterReply& reply, int requestId, int requestType, std::string_view result);
    // Serves the unserved input of the connection at index in the next turn of the loop.
    void ResumeNextTurn(int index);
    // Serves what the connection at index has sent so far, now (within its share of a turn).
    void ServeWaitingInput(int index);

    // Has the connection's held output sent at the end of the current turn (called by its
    // socket once per turn).
    void SendAtTurnEnd(int index);
    // Tells the listener that the connection's output has all left (called by its socket).
    void OutputDrained(int index);
    // The serial of the connection at index, 0 when there is none.
    std::uint64_t SerialAt(int index) const;

    // Closes a connection whose output the peer does not take (called by its socket).
    void CloseForBacklog(int index, std::size_t unsent);

    // Queries over the connection table.
    bool HasOtherClients() const;
    bool IsConsolePresent() const;

    platform::EventLoop& loop() { return loop_; }
    int listeningPort() const { return listeningPort_; }

    ConnectionTable connections;

private:
    class Listener;

    std::optional<OpenFailure> OpenListener(const std::optional<platform::NetAddress>& address, int port,
                                            int shownPort);

    platform::EventLoop& loop_;
    LogLine log_;
    ConnectionEvents* events_ = nullptr;
    std::vector<std::unique_ptr<Listener>> listeners_;
    int listeningPort_ = 0;
    bool acceptFailing_ = false;
    std::size_t partialInputBytes_ = 0;
    std::size_t releasedSinceTrim_ = 0;
    bool trimScheduled_ = false;

    void CountPartialInput(ConnectionSocket& socket);
    void UncountPartialInput(ConnectionSocket& socket);
    void ReturnMemoryLater();
    void CloseLargestPartialHolders();
    // Records closed during the current event, released when it has been handled.
    std::vector<std::unique_ptr<ConnectionRecord>> closed_;
    // Connections whose output waits for the end of the turn, and the list being sent.
    std::vector<int> holding_;
    std::vector<int> sending_;
    void SendHeldOutput();
    wire::Reply reply_;
};

} // namespace vserver::net
