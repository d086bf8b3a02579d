#include "net/Network.h"

#include <optional>

#include "platform/ProcessInfo.h"
#include "platform/Socket.h"
#include "wire/Fields.h"
#include "wire/Request.h"

namespace vserver::net {

class Network::Listener final : public platform::IoHandler {
public:
    explicit Listener(Network& network) : network_(network) {}
    ~Listener() { Close(); }

    void OnReadable() override {
        // Take a batch of waiting connections per turn: a burst of clients must not wait for
        // one loop turn each, nor keep the connected ones from being served.
        for (int i = 0; i < 64 && handle != platform::kInvalidHandle; ++i) {
            if (!network_.AcceptClient(handle)) return;
        }
    }
    void OnWritable() override {}

    void Close() {
        if (handle == platform::kInvalidHandle) return;
        network_.loop().Unwatch(handle);
        platform::CloseHandle(handle);
        handle = platform::kInvalidHandle;
    }

    platform::IoHandle handle = platform::kInvalidHandle;

private:
    Network& network_;
};

Network::Network(platform::EventLoop& loop, LogLine log) : loop_(loop), log_(log) {}

Network::~Network() {
    listeners_.clear();
    while (ConnectionRecord* r = connections.newest()) {
        r->socket.Close();
        connections.Remove(r->index);
    }
}

std::optional<OpenFailure> Network::StartSockets() {
    if (!loop_.valid()) {
        return OpenFailure{"Unable to initialize server, can't start socket subsystem", "the event loop could not be created"};
    }
    switch (platform::StartSocketSupport()) {
    case platform::SocketSupport::Ready: break;
    case platform::SocketSupport::Unavailable:
        return OpenFailure{"Unable to initialize server, can't start socket subsystem",
                           "the system's socket support could not be started"};
    case platform::SocketSupport::IncompatibleVersion:
        return OpenFailure{"Unable to initialize server, incompatible socket version",
                           "the system's socket support does not offer version 2.0"};
    }
    return std::nullopt;
}

std::optional<OpenFailure> Network::Listen(int port, int shownPort, const std::vector<platform::NetAddress>& addresses) {
    // Without addresses one listener takes every local address.
    std::vector<std::optional<platform::NetAddress>> wanted(addresses.begin(), addresses.end());
    if (wanted.empty()) wanted.emplace_back();
    for (const std::optional<platform::NetAddress>& address : wanted) {
        if (auto failure = OpenListener(address, port, shownPort)) {
            listeners_.clear();
            return failure;
        }
    }
    return std::nullopt;
}

std::optional<OpenFailure> Network::OpenListener(const std::optional<platform::NetAddress>& address, int port,
                                                 int shownPort) {
    platform::IoHandle handle = platform::kInvalidHandle;
    // With port 0 the first listener's chosen port is the one for every other address too.
    const int wanted = listeners_.empty() ? port : listeningPort_;
    platform::SysResult opened = address ? platform::ListenTcpOn(*address, wanted, platform::MaxListenBacklog(), handle)
                                         : platform::ListenTcp(wanted, platform::MaxListenBacklog(), handle);
    if (!opened) {
        std::string where = address ? " on " + platform::FormatNetAddress(*address) : std::string();
        return OpenFailure{opened.call() == std::string_view("listen") ? "Unable to initialize server, port unresponsive"
                                                                        : "Unable to initialize server, can't open incoming port",
                           "unable to listen on port " + std::to_string(shownPort) + where + ": " + opened.Describe()};
    }
    auto listener = std::make_unique<Listener>(*this);
    listener->handle = handle;
    if (!loop_.Watch(handle, listener.get(), true, false)) {
        listener->Close();
        return OpenFailure{"Unable to initialize server, can't start socket subsystem",
                           "the listening socket could not be watched"};
    }
    if (listeners_.empty()) listeningPort_ = platform::LocalPort(handle);
    listeners_.push_back(std::move(listener));
    return std::nullopt;
}

void Network::CloseAll() {
    for (ConnectionRecord* r = connections.newest(); r != nullptr; r = r->older) r->socket.Close();
    listeners_.clear();
}

int Network::NextFreeIndex() const {
    // Indices only grow while the highest is in use: the list is kept in decreasing order, so
    // its head holds the highest index.
    int highest = connections.HighestIndex();
    return highest > 0 ? highest + 1 : 1;
}

bool Network::AcceptClient(platform::IoHandle listener) {
    int index = NextFreeIndex();
    if (index < 1) {
        log_("Can't find an open connection slot");
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
            auto* network = static_cast<Network*>(self);
            if (!network->acceptFailing_) {
                network->log_("Unable to accept client connection request");
                // Now, while the spare descriptor is free: at the turn's end none may be.
                network->loop_.RunTurnEndStage(platform::TurnEndStage::Files);
            }
            network->acceptFailing_ = true;
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
    if (events_ != nullptr && !events_->Admit(peer)) {
        // The close is all the client learns, so the refusal's line is in the log before it.
        loop_.RunTurnEndStage(platform::TurnEndStage::Files);
        platform::CloseHandle(handle);
        return true;
    }
    ConnectionRecord& r = connections.Insert(std::make_unique<ConnectionRecord>(*this, index, handle, peer));
    if (events_ != nullptr) events_->OnAccepted(r);
    if (!loop_.Watch(handle, &r.socket, true, false)) {
        r.socket.Close();
        connections.Remove(index);
        log_("Unable to accept client connection request");
        return false;
    }
    SendToIndex(reply_.Greeting().text(), index);
    return true;
}

bool Network::CloseIndex(int index, CloseCause cause) {
    if (index <= 0) {
        log_("Attempt to close an unknown connection index, bad connection index");
        return false;
    }
    std::unique_ptr<ConnectionRecord> record = connections.Remove(index);
    if (!record) {
        log_("Attempt to close an unknown connection index, connection index not found");
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

bool Network::SendToIndex(std::string_view text, int index, std::uint64_t serial) {
    ConnectionRecord* record = connections.Find(index);
    if (record == nullptr || (serial != 0 && record->serial != serial)) {
        log_("Attempt to send a message to an unknown connection index");
        return false;
    }
    (void)record->socket.Send(text);
    return true;
}

void Network::CloseForBacklog(int index, std::size_t unsent) {
    std::string line = "Closing connection index ";
    wire::AppendNumber(line, index);
    line += ": the client does not read its replies (";
    wire::AppendNumber(line, static_cast<long long>(unsent));
    line += " bytes unsent)";
    log_(line);
    CloseIndex(index);
}

void Network::ServeInput(ConnectionSocket& socket, wire::MessageAssembler& input, std::string_view chunk,
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
        log_(line);
        CloseIndex(index);
        return;
    }
    CountPartialInput(socket);
    // Held input is served when its hold ends.
    if (input.holdsUnread() && !socket.inputHeld()) ResumeNextTurn(index);
    if (partialInputBytes_ > kPartialInputLimit) CloseLargestPartialHolders();
}

void Network::CountPartialInput(ConnectionSocket& socket) {
    const std::size_t now = socket.pendingInputBytes();
    if (now < socket.countedPendingBytes) {
        releasedSinceTrim_ += socket.countedPendingBytes - now;
    }
    partialInputBytes_ = partialInputBytes_ - socket.countedPendingBytes + now;
    socket.countedPendingBytes = now;
    ReturnMemoryLater();
}

void Network::ReturnMemoryLater() {
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

void Network::UncountPartialInput(ConnectionSocket& socket) {
    releasedSinceTrim_ += socket.countedPendingBytes;
    partialInputBytes_ -= socket.countedPendingBytes;
    socket.countedPendingBytes = 0;
    ReturnMemoryLater();
}

void Network::CloseLargestPartialHolders() {
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
        log_(line);
        CloseIndex(largest->index);
    }
}

void Network::ResumeNextTurn(int index) {
    const std::uint64_t serial = SerialAt(index);
    loop_.RunNextTurn([this, index, serial] {
        ConnectionRecord* record = connections.Find(index);
        if (record != nullptr && record->serial == serial) record->socket.ResumeInput();
    });
}

void Network::ServeWaitingInput(int index) {
    if (ConnectionRecord* record = connections.Find(index)) record->socket.ServeWaiting();
}

Network::LaterReply Network::ReserveReply(int index, bool holdInput) {
    ConnectionRecord* record = connections.Find(index);
    if (record == nullptr) return LaterReply{.index = index};
    LaterReply reply{.index = index, .serial = record->serial, .slot = record->socket.ReserveReply()};
    if (holdInput) {
        record->socket.HoldInput();
        reply.inputHeld = true;
    }
    return reply;
}

void Network::FinishLaterReply(LaterReply& reply, int requestId, int requestType, std::string_view result) {
    ConnectionRecord* record = connections.Find(reply.index);
    if (reply.serial == 0 || record == nullptr || record->serial != reply.serial) return;
    record->socket.FillReply(reply.slot, requestId > 0 ? reply_.Completion(requestId, requestType, result).text()
                                                       : std::string_view{});
    if (reply.inputHeld) {
        reply.inputHeld = false;
        record->socket.ReleaseInput();
    }
}

void Network::SendAtTurnEnd(int index) {
    holding_.push_back(index);
    if (holding_.size() == 1) loop_.AtTurnEnd(platform::TurnEndStage::Output, [this] { SendHeldOutput(); });
}

void Network::OutputDrained(int index) {
    if (events_ != nullptr) events_->OnOutputDrained(index);
}

void Network::SendHeldOutput() {
    sending_.swap(holding_);
    // An index whose connection closed meanwhile had its output sent by the close; a newer
    // connection under the same index is in the list on its own account.
    for (int index : sending_) {
        if (ConnectionRecord* record = connections.Find(index)) record->socket.SendHeld();
    }
    sending_.clear();
}

std::uint64_t Network::SerialAt(int index) const {
    const ConnectionRecord* record = connections.Find(index);
    return record ? record->serial : 0;
}

void Network::SendCompletion(int index, int requestId, int requestType, std::string_view result,
                                std::uint64_t serial) {
    if (requestId <= 0) return;
    SendToIndex(reply_.Completion(requestId, requestType, result).text(), index, serial);
}

bool Network::HasOtherClients() const {
    if (connections.empty()) return false;
    if (connections.size() >= 2) return true;
    return connections.newest()->clientKind != wire::ClientKind::Console;
}

bool Network::IsConsolePresent() const { return connections.consoleCount() > 0; }

} // namespace vserver::net
