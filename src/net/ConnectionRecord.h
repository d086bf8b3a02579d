#pragma once
// One accepted connection: its index, the session fields a logon writes, and its socket with
// the input it has not yet framed and the output the socket has not yet taken.

#include <cstdint>
#include <deque>
#include <string>

#include "platform/Clock.h"
#include "platform/EventLoop.h"
#include "platform/common/NetAddress.h"
#include "wire/MessageAssembler.h"
#include "wire/Protocol.h"

namespace vserver::net {

class Network;

// The socket side of a connection. The loop calls it on readiness; it only points back to the
// network, which owns the record.
class ConnectionSocket final : public platform::IoHandler {
public:
    ConnectionSocket(Network& network, int index, platform::IoHandle handle)
        : network_(network), index_(index), handle_(handle) {}

    void OnReadable() override;
    void OnWritable() override;

    int index() const { return index_; }
    platform::IoHandle handle() const { return handle_; }
    bool open() const { return handle_ != platform::kInvalidHandle; }

    // Queues text followed by the end byte and a line feed; the socket gets it at the end of
    // the loop's turn (SendHeld). False when the connection is closed or its backlog passed the
    // output bound.
    bool Send(std::string_view text);
    // Writes what Send held back, as far as the socket takes it now.
    void SendHeld();
    void Close();

    // Serves the input that an earlier turn left unserved once the connection's work budget
    // was spent.
    void ResumeInput();
    // Serves what the peer has sent so far without waiting for the loop to report it: input
    // left unserved, else what the system holds for the connection.
    void ServeWaiting();

    // While held, the connection's input is neither read nor served: a request whose reply
    // waits (for its data to reach the disk) holds it, so the connection's later requests run,
    // and answer, only after it. Holds nest; the last release serves what waited.
    void HoldInput();
    void ReleaseInput();
    bool inputHeld() const { return inputHolds_ > 0; }

    // A reply that is answered later keeps its place among the connection's replies: what is
    // sent after its slot is reserved waits behind it, so the connection's later requests may
    // run on (while this one's data goes to the disk) without their replies overtaking it.
    // Returns the slot's number for FillReply. Past kMaxRepliesWaiting open slots the input is
    // held until one is filled, so a client cannot make the waiting output grow without bound.
    std::uint64_t ReserveReply();
    // Puts text (followed by the end byte and a line feed; nothing when empty) in its slot;
    // the output waiting behind it leaves once every slot before it is filled too.
    void FillReply(std::uint64_t slot, std::string_view text);
    std::size_t repliesWaiting() const { return slots_.size(); }
    static constexpr std::size_t kMaxRepliesWaiting = 64;

    // Output not yet taken by the system, including what waits behind an unfilled slot.
    std::size_t unsentBytes() const { return output_.size() - outputStart_ + waitingBytes_; }
    // True when the peer has acknowledged every reply: none waits here or in the system's queue.
    bool AllRepliesTransmitted() const;
    // Every byte ever queued by Send: the difference over a stretch of work is the reply
    // volume that work produced.
    std::uint64_t queuedTotal() const { return queuedTotal_; }
    // The unfinished message held by the framing, and how much of it the server has counted
    // towards its total.
    std::size_t pendingInputBytes() const { return input_.pending().size(); }
    std::size_t countedPendingBytes = 0;

private:
    struct ReplySlot {
        std::uint64_t number = 0;
        bool filled = false;
        std::string reply;
        std::string behind;  // sent after the slot was reserved
    };
    void Queue(std::string_view text);
    void Flush();
    void WatchWritable(bool on);

    Network& network_;
    int index_;
    platform::IoHandle handle_;
    wire::MessageAssembler input_;
    std::string output_;
    std::size_t outputStart_ = 0;
    std::uint64_t queuedTotal_ = 0;
    bool watchingWrite_ = false;
    bool held_ = false;
    int inputHolds_ = 0;
    bool readingPaused_ = false;
    std::deque<ReplySlot> slots_;
    std::uint64_t nextSlot_ = 1;
    std::size_t waitingBytes_ = 0;
    bool slotsHoldInput_ = false;
};

struct ConnectionRecord {
    ConnectionRecord(Network& network, int index, platform::IoHandle handle, platform::NetAddress peer = {});

    int index;
    // Unique for the server's lifetime, unlike index, which a later connection may get again:
    // work that completes after a wait checks it to answer only the connection that asked.
    std::uint64_t serial = 0;
    std::string accountName;
    std::string sessionLabel;
    int clientKind = wire::ClientKind::NotLoggedOn;
    std::string sessionDetail;
    platform::LocalTime logonTime{};
    // The client's address, and whether the console's address rules let it log on as the
    // console: decided once at accept (and again when the rules are reloaded), never per request.
    platform::NetAddress peerAddress;
    bool consoleAddressAllowed = true;
    ConnectionSocket socket;

    // The newest-first list of the connection table.
    ConnectionRecord* newer = nullptr;
    ConnectionRecord* older = nullptr;
};

// "<Logging On, Index #7...>": the account name of a connection that has not logged on.
std::string PlaceholderAccountName(int index);

} // namespace vserver::net
