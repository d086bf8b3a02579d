#pragma once
// The one server object: the listening socket, the table of connections, the settings derived
// at initialisation and the server-wide state of logons. Every request handler works through
// it. It only points to the event loop, which the run loop owns.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/ConnectionTable.h"
#include "platform/EventLoop.h"
#include "platform/NetAddress.h"
#include "settings/AccessRules.h"
#include "settings/ConfigStore.h"

namespace vserver::net {

// What the layers above do with a connection's traffic: each complete message goes to the
// request dispatcher, and whoever waits on a connection hears when it closes.
class ConnectionEvents {
public:
    virtual ~ConnectionEvents() = default;
    virtual void OnMessage(std::string_view text, int index) = 0;
    // Called from the loop after the close, never from inside the closing call.
    virtual void OnConnectionClosed(int index) = 0;
};

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
    bool CloseIndex(int index);
    // Sends text followed by the end byte and a line feed. False when the index is unknown.
    // A non-zero serial names the connection exactly: work that finishes after a wait passes
    // the serial it started with, so a newer connection that got the same index is not
    // answered in the requester's place.
    bool SendToIndex(std::string_view text, int index, std::uint64_t serial = 0);

    // Hands a received chunk of connection index to its framing; complete messages are
    // dispatched in order.
    void AssembleMessage(ConnectionSocket& socket, wire::MessageAssembler& input, std::string_view chunk);
    // Who receives the messages and closes; nothing is dispatched while none is set. The
    // events object must outlive its registration.
    void SetConnectionEvents(ConnectionEvents* events) { events_ = events; }
    // Sends the common completion of a request: "1", request id, and for the long-form types
    // the request type and result. Nothing for an id of 0 or less.
    void SendCompletion(int index, int requestId, int requestType, std::string_view result,
                        std::uint64_t serial = 0);
    // The serial of the connection at index, 0 when there is none.
    std::uint64_t SerialAt(int index) const;

    // Closes a connection whose output the peer does not take (called by its socket).
    void CloseForBacklog(int index, std::size_t unsent);

    // Reads AllowAccountCreation and LogUserStatistics again (at initialisation and on request).
    void LoadOptionFlags();
    // Reads the access rules again (at initialisation and on request) and applies the console's
    // addresses to the connections already open.
    void LoadAccessRules();

    // Queries over the connection table.
    bool HasOtherClients() const;
    bool IsConsolePresent() const;

    platform::EventLoop& loop() { return loop_; }
    const settings::ConfigStore& config() const { return config_; }
    int listeningPort() const { return listeningPort_; }

    // Settings derived at initialisation.
    bool allowAccountCreation = true;
    bool logUserStatistics = false;
    bool running = false;
    std::string usersFolder;
    std::string executableFolder;
    bool logonsLocked = false;
    std::string eventLogPath;
    std::string serverVersion;
    std::string userMessagesPath;
    std::string forcedToolbarSetsPath;
    int livenessTimeoutSeconds = 10;
    bool allowConsoleRequestsFromAnyConnection = false;
    settings::AccessRules access;
    // Why the last initialisation failed, naming the setting, the port or call and the system
    // error; empty while it has not failed.
    std::string failureCause;

    ConnectionTable connections;

private:
    class Listener;

    // Opens a listener on port on every address of Connection\BindAddress, or one on every
    // local address when it is not set; false with the reason logged when any cannot be opened.
    bool OpenListeners(int port);
    bool RefusedByAddressLimit(const platform::NetAddress& peer);
    void Fail(std::string cause);

    platform::EventLoop& loop_;
    settings::ConfigStore config_;
    ConnectionEvents* events_ = nullptr;
    std::vector<std::unique_ptr<Listener>> listeners_;
    int listeningPort_ = 0;
    bool acceptFailing_ = false;
    // Records closed during the current event, released when it has been handled.
    std::vector<std::unique_ptr<ConnectionRecord>> closed_;
    std::string reply_;
};

} // namespace vserver::net
