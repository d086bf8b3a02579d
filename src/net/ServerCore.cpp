#include "net/ServerCore.h"

#include <algorithm>
#include <optional>

#include "platform/ProcessInfo.h"
#include "platform/Socket.h"
#include "platform/SystemTraits.h"
#include "platform/TemporaryFile.h"
#include "settings/ServiceLog.h"
#include "wire/Fields.h"
#include "wire/Request.h"

namespace vserver::net {

using settings::WriteServiceLog;

class ServerCore::Listener final : public platform::IoHandler {
public:
    explicit Listener(ServerCore& server) : server_(server) {}
    ~Listener() { Close(); }

    void OnReadable() override {
        // Take a batch of waiting connections per turn: a burst of clients must not wait for
        // one loop turn each, nor keep the connected ones from being served.
        for (int i = 0; i < 64 && handle != platform::kInvalidHandle; ++i) {
            if (!server_.AcceptClient(handle)) return;
        }
    }
    void OnWritable() override {}

    void Close() {
        if (handle == platform::kInvalidHandle) return;
        server_.loop().Unwatch(handle);
        platform::CloseHandle(handle);
        handle = platform::kInvalidHandle;
    }

    platform::IoHandle handle = platform::kInvalidHandle;

private:
    ServerCore& server_;
};

ServerCore::ServerCore(platform::EventLoop& loop, settings::ConfigStore config)
    : loop_(loop), config_(std::move(config)) {}

ServerCore::~ServerCore() {
    listeners_.clear();
    while (ConnectionRecord* r = connections.newest()) {
        r->socket.Close();
        connections.Remove(r->index);
    }
}

void ServerCore::Fail(std::string text, std::string cause) {
    WriteServiceLog(text);
    // The fixed sentence names no cause; this line does.
    WriteServiceLog("Server initialization failed: " + cause);
    failureText = std::move(text);
    failureCause = std::move(cause);
}

bool ServerCore::InitializeServer() {
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

    if (!loop_.valid()) {
        Fail("Unable to initialize server, can't start socket subsystem", "the event loop could not be created");
        return false;
    }
    switch (platform::StartSocketSupport()) {
    case platform::SocketSupport::Ready: break;
    case platform::SocketSupport::Unavailable:
        Fail("Unable to initialize server, can't start socket subsystem", "the system's socket support could not be started");
        return false;
    case platform::SocketSupport::IncompatibleVersion:
        Fail("Unable to initialize server, incompatible socket version", "the system's socket support does not offer version 2.0");
        return false;
    }
    portSetting = config_.ReadPort();
    if (!OpenListeners(portSetting.number)) return false;
    running = true;
    return true;
}

bool ServerCore::OpenListeners(int port) {
    settings::AddressList bind = settings::ReadBindAddresses(config_);
    if (!bind.rejected.empty()) {
        Fail("Unable to initialize server, can't open incoming port",
             "Connection\\BindAddress \"" + bind.rejected.front() + "\" in " + config_.registryName() +
                 " is not an IPv4 or IPv6 address");
        return false;
    }
    // Without BindAddress one listener takes every local address.
    std::vector<std::optional<platform::NetAddress>> addresses;
    for (const platform::AddressPrefix& entry : bind.entries) {
        if (std::find(addresses.begin(), addresses.end(), entry.base) == addresses.end()) addresses.push_back(entry.base);
    }
    if (addresses.empty()) addresses.emplace_back();
    for (const std::optional<platform::NetAddress>& address : addresses) {
        platform::IoHandle handle = platform::kInvalidHandle;
        // With port 0 the first listener's chosen port is the one for every other address too.
        const int wanted = listeners_.empty() ? port : listeningPort_;
        platform::SysResult opened = address ? platform::ListenTcpOn(*address, wanted, platform::MaxListenBacklog(), handle)
                                             : platform::ListenTcp(wanted, platform::MaxListenBacklog(), handle);
        if (!opened) {
            listeners_.clear();
            std::string where = address ? " on " + platform::FormatNetAddress(*address) : std::string();
            // The port the socket was given: the setting's low 16 bits.
            const int shown = listeners_.empty() ? portSetting.port : wanted;
            Fail(opened.call() == std::string_view("listen") ? "Unable to initialize server, port unresponsive"
                                                              : "Unable to initialize server, can't open incoming port",
                 "unable to listen on port " + std::to_string(shown) + where + ": " + opened.Describe());
            return false;
        }
        auto listener = std::make_unique<Listener>(*this);
        listener->handle = handle;
        if (!loop_.Watch(handle, listener.get(), true, false)) {
            listener->Close();
            listeners_.clear();
            Fail("Unable to initialize server, can't start socket subsystem", "the listening socket could not be watched");
            return false;
        }
        if (listeners_.empty()) listeningPort_ = platform::LocalPort(handle);
        listeners_.push_back(std::move(listener));
    }
    std::string line = "Server listening on port ";
    wire::AppendNumber(line, listeningPort_);
    WriteServiceLog(line);
    if (!bind.entries.empty()) {
        line = "Listening only on the addresses of Connection\\BindAddress:";
        for (const auto& address : addresses) {
            line += ' ';
            line += platform::FormatNetAddress(*address);
        }
        WriteServiceLog(line);
    }
    return true;
}

// A registry file that an editor is saving, or one with a key line left unfinished, must not
// switch the access rules off: rules that were read stay in force, and rules never read close
// the console until they can be.
void ServerCore::LoadOptions(bool atStart) {
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
    for (ConnectionRecord* r = connections.newest(); r != nullptr; r = r->older) {
        r->consoleAddressAllowed = access.ConsoleAllowedFrom(r->peerAddress);
    }
}

bool ServerCore::ShutdownServer() {
    if (HasOtherClients()) {
        WriteServiceLog("Attempt to shut down server while clients are connected");
        return false;
    }
    for (ConnectionRecord* r = connections.newest(); r != nullptr; r = r->older) r->socket.Close();
    listeners_.clear();
    return true;
}

int ServerCore::NextFreeIndex() const {
    // Indices only grow while the highest is in use: the list is kept in decreasing order, so
    // its head holds the highest index.
    int highest = connections.HighestIndex();
    return highest > 0 ? highest + 1 : 1;
}

bool ServerCore::RefusedByAddressLimit(const platform::NetAddress& peer) {
    if (access.maxConnectionsPerAddress <= 0) return false;
    ConnectionTable::AddressUse* use = connections.UseOf(peer);
    if (use == nullptr || use->connections < access.maxConnectionsPerAddress) return false;
    // One line for the whole run: a client that retries in a loop must not fill the log.
    if (!use->refusing) {
        std::string line = "Connections from " + platform::FormatNetAddress(peer) + " refused, it holds ";
        wire::AppendNumber(line, use->connections);
        line += " connections, the most Options\\MaxConnectionsPerAddress allows; further refusals are not logged "
                "until a connection from it is accepted";
        WriteServiceLog(line);
        use->refusing = true;
    }
    return true;
}

bool ServerCore::AcceptClient(platform::IoHandle listener) {
    int index = NextFreeIndex();
    if (index < 1) {
        WriteServiceLog("Can't find an open connection slot");
        return false;
    }
    platform::IoHandle handle = platform::kInvalidHandle;
    platform::NetAddress peer;
    platform::IoResult accepted = platform::AcceptTcp(listener, handle, &peer);
    if (accepted.status == platform::IoResult::Status::WouldBlock) return false;
    if (accepted.status != platform::IoResult::Status::Done) {
        // No record is made for a connection that could not be accepted, so it can neither
        // hold an index nor keep a later shutdown from being allowed. Out of descriptors, the
        // waiting client is closed at once rather than left hanging; one line is logged for
        // each run of failures.
        auto logFailure = [](void* self) {
            auto* server = static_cast<ServerCore*>(self);
            if (!server->acceptFailing_) {
                WriteServiceLog("Unable to accept client connection request");
                // Now, while the spare descriptor is free: at the turn's end none may be.
                server->loop_.RunTurnEndStage(platform::TurnEndStage::Files);
            }
            server->acceptFailing_ = true;
        };
        if (platform::OutOfDescriptors(accepted)) {
            platform::RefuseWaitingConnection(listener, logFailure, this);
            return true;
        }
        logFailure(this);
        return false;
    }
    acceptFailing_ = false;
    // Refused before it is given a record, so it never holds an index.
    if (RefusedByAddressLimit(peer)) {
        // The close is all the client learns, so the refusal's line is in the log before it.
        loop_.RunTurnEndStage(platform::TurnEndStage::Files);
        platform::CloseHandle(handle);
        return true;
    }
    auto record = std::make_unique<ConnectionRecord>(*this, index, handle, peer);
    record->consoleAddressAllowed = access.ConsoleAllowedFrom(peer);
    ConnectionRecord& r = connections.Insert(std::move(record));
    if (!loop_.Watch(handle, &r.socket, true, false)) {
        r.socket.Close();
        connections.Remove(index);
        WriteServiceLog("Unable to accept client connection request");
        return false;
    }
    SendToIndex(reply_.Greeting().text(), index);
    return true;
}

bool ServerCore::CloseIndex(int index, CloseCause cause) {
    if (index <= 0) {
        WriteServiceLog("Attempt to close an unknown connection index, bad connection index");
        return false;
    }
    std::unique_ptr<ConnectionRecord> record = connections.Remove(index);
    if (!record) {
        WriteServiceLog("Attempt to close an unknown connection index, connection index not found");
        return false;
    }
    UncountPartialInput(record->socket);
    // Decided before the close gives waiting output its last chance to leave.
    const bool repliesRead = cause == CloseCause::PeerEnded && record->socket.AllRepliesTransmitted();
    // The close tells the client its last request was served (a logoff has no other answer),
    // so the turn's file lines go first.
    loop_.RunTurnEndStage(platform::TurnEndStage::Files);
    record->socket.Close();
    // The record may be on the caller's stack (its own receive handler); release it only after
    // the current event has been handled.
    if (closed_.empty()) loop_.Defer([this] { closed_.clear(); });
    closed_.push_back(std::move(record));
    // A check that awaits this connection ends now; its continuation runs outside the caller.
    loop_.Defer([this, index, repliesRead] {
        if (events_ != nullptr) events_->OnConnectionClosed(index, repliesRead);
    });
    return true;
}

bool ServerCore::SendToIndex(std::string_view text, int index, std::uint64_t serial) {
    ConnectionRecord* record = connections.Find(index);
    if (record == nullptr || (serial != 0 && record->serial != serial)) {
        WriteServiceLog("Attempt to send a message to an unknown connection index");
        return false;
    }
    (void)record->socket.Send(text);
    return true;
}

void ServerCore::CloseForBacklog(int index, std::size_t unsent) {
    std::string line = "Closing connection index ";
    wire::AppendNumber(line, index);
    line += ": the client does not read its replies (";
    wire::AppendNumber(line, static_cast<long long>(unsent));
    line += " bytes unsent)";
    WriteServiceLog(line);
    CloseIndex(index);
}

void ServerCore::ServeInput(ConnectionSocket& socket, wire::MessageAssembler& input, std::string_view chunk,
                            bool resuming) {
    const int index = socket.index();
    int messages = 0;
    const std::uint64_t queuedAtStart = socket.queuedTotal();
    auto dispatch = [&](std::string_view text) {
        if (events_ != nullptr) events_->OnMessage(text, index);
        // A request may have closed its own connection (logoff, disconnect of itself): the
        // rest of the chunk then has nobody to answer.
        if (!socket.open() || socket.inputHeld()) return false;
        return ++messages < kMessagesPerTurn && socket.queuedTotal() - queuedAtStart < kReplyBytesPerTurn;
    };
    auto outcome = resuming ? input.Resume(dispatch) : input.Feed(chunk, dispatch);
    if (!socket.open()) return;
    if (outcome == wire::MessageAssembler::Outcome::Overflow) {
        std::string line = "Closing connection index ";
        wire::AppendNumber(line, index);
        line += ": message longer than 65536 bytes without an end byte, starting with: ";
        line += input.pending().substr(0, 80);
        WriteServiceLog(line);
        CloseIndex(index);
        return;
    }
    CountPartialInput(socket);
    // Held input is served when its hold ends.
    if (input.holdsUnread() && !socket.inputHeld()) ResumeNextTurn(index);
    if (partialInputBytes_ > kPartialInputLimit) CloseLargestPartialHolders();
}

void ServerCore::CountPartialInput(ConnectionSocket& socket) {
    const std::size_t now = socket.pendingInputBytes();
    if (now < socket.countedPendingBytes) {
        releasedSinceTrim_ += socket.countedPendingBytes - now;
    }
    partialInputBytes_ = partialInputBytes_ - socket.countedPendingBytes + now;
    socket.countedPendingBytes = now;
    ReturnMemoryLater();
}

void ServerCore::ReturnMemoryLater() {
    // Freed buffers of unfinished messages mostly stay with the allocator; once a large amount
    // was released, hand it back to the system (after closed connections have been reaped).
    constexpr std::size_t kTrimThreshold = 4 * 1024 * 1024;
    if (releasedSinceTrim_ >= kTrimThreshold && !trimScheduled_) {
        trimScheduled_ = true;
        loop_.RunNextTurn([this] {
            trimScheduled_ = false;
            releasedSinceTrim_ = 0;
            platform::ReturnFreeMemory();
        });
    }
}

void ServerCore::UncountPartialInput(ConnectionSocket& socket) {
    releasedSinceTrim_ += socket.countedPendingBytes;
    partialInputBytes_ -= socket.countedPendingBytes;
    socket.countedPendingBytes = 0;
    ReturnMemoryLater();
}

void ServerCore::CloseLargestPartialHolders() {
    while (partialInputBytes_ > kPartialInputLimit) {
        ConnectionRecord* largest = nullptr;
        for (ConnectionRecord* r = connections.newest(); r != nullptr; r = r->older) {
            if (largest == nullptr || r->socket.countedPendingBytes > largest->socket.countedPendingBytes) largest = r;
        }
        if (largest == nullptr || largest->socket.countedPendingBytes == 0) return;
        std::string line = "Closing connection index ";
        wire::AppendNumber(line, largest->index);
        line += ": unfinished messages of all connections passed ";
        wire::AppendNumber(line, static_cast<long long>(kPartialInputLimit));
        line += " bytes and it held the most (";
        wire::AppendNumber(line, static_cast<long long>(largest->socket.countedPendingBytes));
        line += " bytes)";
        WriteServiceLog(line);
        CloseIndex(largest->index);
    }
}

void ServerCore::ResumeNextTurn(int index) {
    const std::uint64_t serial = SerialAt(index);
    loop_.RunNextTurn([this, index, serial] {
        ConnectionRecord* record = connections.Find(index);
        if (record != nullptr && record->serial == serial) record->socket.ResumeInput();
    });
}

std::uint64_t ServerCore::HoldInput(int index) {
    ConnectionRecord* record = connections.Find(index);
    if (record == nullptr) return 0;
    record->socket.HoldInput();
    return record->serial;
}

void ServerCore::FinishHeldRequest(int index, std::uint64_t serial, int requestId, int requestType,
                                   std::string_view result) {
    if (serial == 0 || SerialAt(index) != serial) return;
    SendCompletion(index, requestId, requestType, result, serial);
    // Sending may have closed a connection whose peer stopped reading.
    if (ConnectionRecord* record = connections.Find(index); record != nullptr && record->serial == serial) {
        record->socket.ReleaseInput();
    }
}

std::uint64_t ServerCore::OutputQueued(int index) const {
    const ConnectionRecord* record = connections.Find(index);
    return record ? record->socket.queuedTotal() : 0;
}

std::uint64_t ServerCore::OutputSent(int index) const {
    const ConnectionRecord* record = connections.Find(index);
    return record ? record->socket.sentTotal() : 0;
}

void ServerCore::SendAtTurnEnd(int index) {
    holding_.push_back(index);
    if (holding_.size() == 1) loop_.AtTurnEnd(platform::TurnEndStage::Output, [this] { SendHeldOutput(); });
}

void ServerCore::SendHeldOutput() {
    sending_.swap(holding_);
    // An index whose connection closed meanwhile had its output sent by the close; a newer
    // connection under the same index is in the list on its own account.
    for (int index : sending_) {
        if (ConnectionRecord* record = connections.Find(index)) record->socket.SendHeld();
    }
    sending_.clear();
}

std::uint64_t ServerCore::SerialAt(int index) const {
    const ConnectionRecord* record = connections.Find(index);
    return record ? record->serial : 0;
}

void ServerCore::SendCompletion(int index, int requestId, int requestType, std::string_view result,
                                std::uint64_t serial) {
    if (requestId <= 0) return;
    SendToIndex(reply_.Completion(requestId, requestType, result).text(), index, serial);
}

bool ServerCore::HasOtherClients() const {
    if (connections.empty()) return false;
    if (connections.size() >= 2) return true;
    return connections.newest()->clientKind != wire::ClientKind::Console;
}

bool ServerCore::IsConsolePresent() const { return connections.consoleCount() > 0; }

} // namespace vserver::net
