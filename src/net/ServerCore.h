#pragma once
// The one server object: the listening socket, the table of connections, the settings derived
// at initialisation and the server-wide state of logons. Every request handler works through
// it. It only points to the event loop, which the run loop owns.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/ConnectionTable.h"
#include "platform/DurableWrites.h"
#include "platform/EventLoop.h"
#include "platform/common/NetAddress.h"
#include "settings/AccessRules.h"
#include "settings/ConfigStore.h"
#include "settings/OptionWriter.h"
#include "wire/Reply.h"

namespace vserver::net {

// The version a client must match to log on, and that the version request reports.
inline constexpr const char* kServerVersion = "9.0";

// What the layers above do with a connection's traffic: each complete message goes to the
// request dispatcher, and whoever waits on a connection hears when it closes.
class ConnectionEvents {
public:
    virtual ~ConnectionEvents() = default;
    virtual void OnMessage(std::string_view text, int index) = 0;
    // Called from the loop after the close, never from inside the closing call. repliesRead is
    // true when the peer ended the connection in order after acknowledging every byte sent to
    // it: a client process that dies with a reply unread resets the connection instead.
    virtual void OnConnectionClosed(int index, bool repliesRead) = 0;
};

// Who ends a connection: the server (a logoff, a disconnect, a fault) or the peer, in order.
// A peer's reset or failure counts as the server's: nothing can be said of what it read.
enum class CloseCause { Server, PeerEnded };

class ServerCore {
public:
    ServerCore(platform::EventLoop& loop, settings::ConfigStore config);
    ~ServerCore();
    ServerCore(const ServerCore&) = delete;
    ServerCore& operator=(const ServerCore&) = delete;

    // Reads the settings and opens the listening port; false (with its reason in the service
    // log) when the server cannot serve.
    bool InitializeServer();
    // Closes every connection and the listener, or refuses while clients other than a lone
    // console are connected.
    bool ShutdownServer();

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
    // Who receives the messages and closes; nothing is dispatched while none is set. The
    // events object must outlive its registration.
    void SetConnectionEvents(ConnectionEvents* events) { events_ = events; }
    // Sends the common completion of a request: "1", request id, and for the long-form types
    // the request type and result. Nothing for an id of 0 or less.
    void SendCompletion(int index, int requestId, int requestType, std::string_view result,
                        std::uint64_t serial = 0);
    // Holds the input of the connection at index (see ConnectionSocket::HoldInput) for a
    // request that ends later; returns the connection's serial for FinishHeldRequest.
    std::uint64_t HoldInput(int index);
    // Ends such a request: sends its common completion and releases the connection's input.
    // Nothing happens when that connection has gone meanwhile.
    void FinishHeldRequest(int index, std::uint64_t serial, int requestId, int requestType, std::string_view result);
    // Serves the unserved input of the connection at index in the next turn of the loop.
    void ResumeNextTurn(int index);

    // How many bytes of output the connection at index has been given so far, and how many of
    // them its socket has taken: a reply queued when the first count was n has wholly left
    // once the second reaches n. 0 for an unknown index.
    std::uint64_t OutputQueued(int index) const;
    std::uint64_t OutputSent(int index) const;
    // Has the connection's held output sent at the end of the current turn (called by its
    // socket once per turn).
    void SendAtTurnEnd(int index);
    // The serial of the connection at index, 0 when there is none.
    std::uint64_t SerialAt(int index) const;

    // Closes a connection whose output the peer does not take (called by its socket).
    void CloseForBacklog(int index, std::size_t unsent);

    // Reads AllowAccountCreation, LogUserStatistics and the access rules (at initialisation and
    // on the reload request) and applies the console's addresses to the connections already
    // open. When the Options key cannot be read, a reload keeps what is in force, and says so
    // in the service log; at initialisation the flags keep their defaults and the access rules
    // are closed (see settings::ClosedAccessRules) until a later reading succeeds, with the
    // reason in closedAccessRules.
    void LoadOptions(bool atStart);

    // Queries over the connection table.
    bool HasOtherClients() const;
    bool IsConsolePresent() const;

    platform::EventLoop& loop() { return loop_; }
    // Where writes that are acknowledged only once on disk get synced.
    platform::SyncWorker& syncs() { return syncs_; }
    const settings::ConfigStore& config() const { return config_; }
    // Writes the console's options one at a time, each acknowledged once on disk.
    settings::OptionWriter& optionWriter() { return optionWriter_; }
    int listeningPort() const { return listeningPort_; }

    // Settings derived at initialisation.
    bool allowAccountCreation = true;
    bool logUserStatistics = false;
    bool running = false;
    std::string usersFolder;
    std::string executableFolder;
    bool logonsLocked = false;
    std::string statisticsPath;
    std::string serverVersion;
    std::string userMessagesPath;
    std::string forcedToolbarSetsPath;
    int livenessTimeoutSeconds = 10;
    // PortNumber as read at initialisation.
    settings::PortSetting portSetting;
    // Why the last initialisation failed: the fixed sentence of the service log, and the cause
    // naming the setting, the port or call and the system error; empty while it has not failed.
    std::string failureText;
    std::string failureCause;
    bool allowConsoleRequestsFromAnyConnection = false;
    settings::AccessRules access;
    // While the access rules could not be read since the start and the closed ones are in
    // force, why, as the operator is told at start; empty once they are read.
    std::string closedAccessRules;

    ConnectionTable connections;

private:
    class Listener;

    // Writes the fixed sentence and a line naming the cause to the service log, and keeps both.
    void Fail(std::string text, std::string cause);

    // Opens a listener on port on every address of Connection\BindAddress, or one on every
    // local address when it is not set; false with the reason logged when any cannot be opened.
    bool OpenListeners(int port);
    bool RefusedByAddressLimit(const platform::NetAddress& peer);

    platform::EventLoop& loop_;
    platform::SyncWorker syncs_{loop_};
    settings::ConfigStore config_;
    settings::OptionWriter optionWriter_{loop_, syncs_, config_};
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
