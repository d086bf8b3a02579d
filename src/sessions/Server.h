#pragma once
// The server's own state, above its connections: the folders and queue files derived from the
// settings at initialisation, the logon lock, the options and access rules in force, and the
// writers that make the console's changes durable. Every request handler works through it, and
// reaches the connections through net(). It only points to the event loop, which the run loop
// owns.

#include <string>

#include "net/Network.h"
#include "platform/DurableWrites.h"
#include "platform/EventLoop.h"
#include "platform/common/NetAddress.h"
#include "settings/AccessRules.h"
#include "settings/ConfigStore.h"
#include "settings/OptionWriter.h"

namespace vserver::sessions {

// The version a client must match to log on, and that the version request reports.
inline constexpr const char* kServerVersion = "9.0";

class Server {
public:
    Server(platform::EventLoop& loop, settings::ConfigStore config);
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Reads the settings and opens the listening port; false (with its reason in the service
    // log) when the server cannot serve.
    bool InitializeServer();
    // Closes every connection and the listener, or refuses while clients other than a lone
    // console are connected.
    bool ShutdownServer();

    // Reads AllowAccountCreation, LogUserStatistics and the access rules (at initialisation and
    // on the reload request) and applies the console's addresses to the connections already
    // open. When the Options key cannot be read, a reload keeps what is in force, and says so
    // in the service log; at initialisation the flags keep their defaults and the access rules
    // are closed (see settings::ClosedAccessRules) until a later reading succeeds, with the
    // reason in closedAccessRules.
    void LoadOptions(bool atStart);

    // False for a connection from peer that would pass Options\MaxConnectionsPerAddress; the
    // first refusal of a run is logged.
    bool AdmitFrom(const platform::NetAddress& peer);
    // Decides once whether the console's address rules let the connection log on as the
    // console.
    void JudgeConsoleAddress(net::ConnectionRecord& record) const;

    net::Network& net() { return network_; }
    const net::Network& net() const { return network_; }
    platform::EventLoop& loop() { return loop_; }
    // Where writes that are acknowledged only once on disk get synced.
    platform::SyncWorker& syncs() { return syncs_; }
    const settings::ConfigStore& config() const { return config_; }
    // Writes the console's options one at a time, each acknowledged once on disk.
    settings::OptionWriter& optionWriter() { return optionWriter_; }

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

private:
    // Writes the fixed sentence and a line naming the cause to the service log, and keeps both.
    void Fail(std::string text, std::string cause);
    // Opens a listener on port on every address of Connection\BindAddress, or one on every
    // local address when it is not set; false with the reason logged when any cannot be opened.
    bool OpenListeners(int port);

    platform::EventLoop& loop_;
    platform::SyncWorker syncs_{loop_};
    settings::ConfigStore config_;
    settings::OptionWriter optionWriter_{loop_, syncs_, config_};
    // Last, so that its connections close before the writers above go.
    net::Network network_;
};

} // namespace vserver::sessions
