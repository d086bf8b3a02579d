#include "sessions/Server.h"

#include <algorithm>
#include <vector>

#include "platform/TemporaryFile.h"
#include "settings/ServiceLog.h"
#include "wire/Fields.h"

namespace vserver::sessions {

using settings::WriteServiceLog;

Server::Server(platform::EventLoop& loop, settings::ConfigStore config)
    : loop_(loop), config_(std::move(config)), network_(loop, WriteServiceLog) {}

void Server::Fail(std::string text, std::string cause) {
    WriteServiceLog(text);
    // The fixed sentence names no cause; this line does.
    WriteServiceLog("Server initialization failed: " + cause);
    failureText = std::move(text);
    failureCause = std::move(cause);
}

bool Server::InitializeServer() {
    if (running) {
        WriteServiceLog("Attempt to initialize server after it's running, attempt rejected");
        return false;
    }
    settings::FolderLayout layout = config_.DerivePaths();
    usersFolder = layout.usersFolder;
    executableFolder = layout.executableFolder;
    statisticsPath = layout.statisticsPath;
    userMessagesPath = layout.userMessagesPath;
    forcedToolbarSetsPath = layout.forcedToolbarSetsPath;
    // Temporaries that a killed server left beside its own files go now; the next write of
    // a user's file removes those beside it.
    for (const std::string& own : {userMessagesPath, forcedToolbarSetsPath, config_.registryFilePath()}) {
        if (!own.empty()) platform::RemoveStaleTemporaries(own);
    }
    serverVersion = kServerVersion;
    logonsLocked = false;
    LoadOptions(true);
    livenessTimeoutSeconds = config_.ReadLivenessTimeoutSeconds();
    allowConsoleRequestsFromAnyConnection = config_.ReadAllowConsoleRequestsFromAnyConnection();

    if (auto failure = network_.StartSockets()) {
        Fail(std::move(failure->text), std::move(failure->cause));
        return false;
    }
    portSetting = config_.ReadPort();
    if (!OpenListeners(portSetting.number)) return false;
    running = true;
    return true;
}

bool Server::OpenListeners(int port) {
    settings::AddressList bind = settings::ReadBindAddresses(config_);
    if (!bind.rejected.empty()) {
        Fail("Unable to initialize server, can't open incoming port",
             "Connection\\BindAddress \"" + bind.rejected.front() + "\" in " + config_.registryName() +
                 " is not an IPv4 or IPv6 address");
        return false;
    }
    std::vector<platform::NetAddress> addresses;
    for (const platform::AddressPrefix& entry : bind.entries) {
        if (std::find(addresses.begin(), addresses.end(), entry.base) == addresses.end()) addresses.push_back(entry.base);
    }
    // A failure names the port the socket was given: the setting's low 16 bits.
    if (auto failure = network_.Listen(port, portSetting.port, addresses)) {
        Fail(std::move(failure->text), std::move(failure->cause));
        return false;
    }
    std::string line = "Server listening on port ";
    wire::AppendNumber(line, network_.listeningPort());
    WriteServiceLog(line);
    if (!addresses.empty()) {
        line = "Listening only on the addresses of Connection\\BindAddress:";
        for (const platform::NetAddress& address : addresses) {
            line += ' ';
            line += platform::FormatNetAddress(address);
        }
        WriteServiceLog(line);
    }
    return true;
}

// A registry file that an editor is saving, or one with a key line left unfinished, must not
// switch the access rules off: rules that were read stay in force, and rules never read close
// the console until they can be.
void Server::LoadOptions(bool atStart) {
    settings::ReloadableOptions read = settings::ReadReloadableOptions(config_);
    if (!read.unreadable.empty()) {
        if (!atStart) {
            WriteServiceLog("Options kept as they were, they cannot be read from " + read.unreadable);
            return;
        }
        closedAccessRules = "Options cannot be read from " + read.unreadable +
                            "; no console may log on and only the console may write shared files until they can be read";
        access = settings::ClosedAccessRules();
        return;
    }
    if (!closedAccessRules.empty()) {
        WriteServiceLog("Options read from " + config_.registryName() + ", the access rules they set are in force");
        closedAccessRules.clear();
    }
    allowAccountCreation = read.flags.allowAccountCreation;
    logUserStatistics = read.flags.logUserStatistics;
    access = std::move(read.access);
    for (net::ConnectionRecord* r = network_.connections.newest(); r != nullptr; r = r->older) {
        JudgeConsoleAddress(*r);
    }
}

bool Server::AdmitFrom(const platform::NetAddress& peer) {
    if (access.maxConnectionsPerAddress <= 0) return true;
    net::ConnectionTable::AddressUse* use = network_.connections.UseOf(peer);
    if (use == nullptr || use->connections < access.maxConnectionsPerAddress) return true;
    // One line for the whole run: a client that retries in a loop must not fill the log.
    if (!use->refusing) {
        std::string line = "Connections from " + platform::FormatNetAddress(peer) + " refused, it holds ";
        wire::AppendNumber(line, use->connections);
        line += " connections, the most Options\\MaxConnectionsPerAddress allows; further refusals are not logged "
                "until a connection from it is accepted";
        WriteServiceLog(line);
        use->refusing = true;
    }
    return false;
}

void Server::JudgeConsoleAddress(net::ConnectionRecord& record) const {
    record.consoleAddressAllowed = access.ConsoleAllowedFrom(record.peerAddress);
}

bool Server::ShutdownServer() {
    if (network_.HasOtherClients()) {
        WriteServiceLog("Attempt to shut down server while clients are connected");
        return false;
    }
    network_.CloseAll();
    return true;
}

} // namespace vserver::sessions
