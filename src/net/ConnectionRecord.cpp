#include "net/ConnectionRecord.h"

#include <algorithm>

#include "net/Network.h"
#include "platform/Socket.h"
#include "wire/Fields.h"

namespace vserver::net {

namespace {

// A peer that stops reading must not make the server hold its replies without bound.
constexpr std::size_t kMaxUnsentOutput = 4 * 1024 * 1024;
constexpr std::size_t kReceiveSize = 4096;

} // namespace

std::string PlaceholderAccountName(int index) {
    std::string name = "<Logging On, Index #";
    wire::AppendNumber(name, index);
    name += "...>";
    return name;
}

ConnectionRecord::ConnectionRecord(Network& network, int recordIndex, platform::IoHandle handle,
                                   platform::NetAddress peer)
    : index(recordIndex),
      accountName(PlaceholderAccountName(recordIndex)),
      peerAddress(peer),
      socket(network, recordIndex, handle) {}

void ConnectionSocket::OnReadable() {
    if (!open()) return;
    if (inputHeld()) {
        // More input waits while a request is held: stop asking for it until the hold ends
        // (most clients wait for their reply, so this rarely happens). With reading off, only
        // a hang-up or an error arrives here: the connection is gone, and the request it
        // waits for ends without a reply.
        if (!readingPaused_) {
            readingPaused_ = true;
            (void)network_.loop().Modify(handle_, this, false, watchingWrite_);
        } else {
            network_.CloseIndex(index_);
        }
        return;
    }
    // Input received earlier but not yet served goes first; reading more now would only let
    // this connection's backlog grow while the others wait.
    if (input_.holdsUnread()) return;
    char buffer[kReceiveSize];
    platform::IoResult r = platform::Receive(handle_, buffer, sizeof buffer);
    switch (r.status) {
    case platform::IoResult::Status::Done:
        network_.ServeInput(*this, input_, std::string_view(buffer, r.count), false);
        return;
    case platform::IoResult::Status::WouldBlock:
        return;
    case platform::IoResult::Status::PeerClosed:
        network_.CloseIndex(index_, CloseCause::PeerEnded);
        return;
    case platform::IoResult::Status::Failed:
        network_.CloseIndex(index_);
        return;
    }
}

void ConnectionSocket::ResumeInput() {
    if (open() && !inputHeld() && input_.holdsUnread()) network_.ServeInput(*this, input_, {}, true);
}

void ConnectionSocket::ServeWaiting() {
    if (!open() || inputHeld()) return;
    if (input_.holdsUnread()) {
        ResumeInput();
    } else {
        OnReadable();
    }
}

void ConnectionSocket::HoldInput() { ++inputHolds_; }

void ConnectionSocket::ReleaseInput() {
    if (inputHolds_ == 0 || --inputHolds_ > 0 || !open()) return;
    if (readingPaused_) {
        readingPaused_ = false;
        (void)network_.loop().Modify(handle_, this, true, watchingWrite_);
    }
    if (input_.holdsUnread()) network_.ResumeNextTurn(index_);
}

bool ConnectionSocket::AllRepliesTransmitted() const {
    return open() && unsentBytes() == 0 && platform::AllTransmitted(handle_);
}

void ConnectionSocket::OnWritable() {
    if (!open()) return;
    Flush();
}

bool ConnectionSocket::Send(std::string_view text) {
    if (!open()) return false;
    // Only output that is still waiting from earlier sends counts against the bound, so one
    // large reply to a client that reads is never cut off; a client that stops reading is.
    if (unsentBytes() > kMaxUnsentOutput) {
        network_.CloseForBacklog(index_, unsentBytes());
        return false;
    }
    queuedTotal_ += text.size() + wire::kMessageTerminator.size();
    if (!slots_.empty()) {
        std::string& behind = slots_.back().behind;
        behind.append(text);
        behind.append(wire::kMessageTerminator);
        waitingBytes_ += text.size() + wire::kMessageTerminator.size();
        return true;
    }
    Queue(text);
    output_.append(wire::kMessageTerminator);
    return open();
}

void ConnectionSocket::Queue(std::string_view text) {
    if (outputStart_ == output_.size()) {
        output_.clear();
        outputStart_ = 0;
    }
    output_.append(text);
    // The replies of one turn leave together once the turn's file lines are written, so a
    // client never has the answer to an event that is not yet in its file, and several replies
    // to one connection cost one send. Output that waits for writability goes then anyway.
    if (!watchingWrite_ && !held_) {
        held_ = true;
        network_.SendAtTurnEnd(index_);
    }
}

std::uint64_t ConnectionSocket::ReserveReply() {
    slots_.emplace_back();
    slots_.back().number = nextSlot_;
    if (slots_.size() >= kMaxRepliesWaiting && !slotsHoldInput_) {
        slotsHoldInput_ = true;
        HoldInput();
    }
    return nextSlot_++;
}

void ConnectionSocket::FillReply(std::uint64_t slot, std::string_view text) {
    auto it = std::find_if(slots_.begin(), slots_.end(), [slot](const ReplySlot& s) { return s.number == slot; });
    if (it == slots_.end() || it->filled || !open()) return;
    it->filled = true;
    if (!text.empty()) {
        it->reply.append(text);
        it->reply.append(wire::kMessageTerminator);
        waitingBytes_ += it->reply.size();
        queuedTotal_ += it->reply.size();
    }
    while (!slots_.empty() && slots_.front().filled) {
        const ReplySlot& front = slots_.front();
        waitingBytes_ -= front.reply.size() + front.behind.size();
        if (!front.reply.empty()) Queue(front.reply);
        if (!front.behind.empty()) Queue(front.behind);
        slots_.pop_front();
    }
    if (slotsHoldInput_ && slots_.size() < kMaxRepliesWaiting) {
        slotsHoldInput_ = false;
        ReleaseInput();
    }
}

void ConnectionSocket::SendHeld() {
    if (!held_) return;
    held_ = false;
    if (open() && !watchingWrite_) Flush();
}

void ConnectionSocket::Flush() {
    const bool hadOutput = outputStart_ < output_.size();
    while (outputStart_ < output_.size()) {
        platform::IoResult r =
            platform::Send(handle_, output_.data() + outputStart_, output_.size() - outputStart_);
        if (r.status == platform::IoResult::Status::Done) {
            outputStart_ += r.count;
            continue;
        }
        if (r.status == platform::IoResult::Status::WouldBlock) {
            WatchWritable(true);
            return;
        }
        // The peer is gone; its close arrives as a read of zero bytes, so only stop writing.
        output_.clear();
        outputStart_ = 0;
        WatchWritable(false);
        return;
    }
    output_.clear();
    outputStart_ = 0;
    WatchWritable(false);
    // Last, as the listener may look at this connection again. Output waiting behind a slot
    // has not left, so the connection's output is not drained while one is open.
    if (hadOutput && slots_.empty()) network_.OutputDrained(index_);
}

void ConnectionSocket::WatchWritable(bool on) {
    if (on == watchingWrite_) return;
    watchingWrite_ = on;
    (void)network_.loop().Modify(handle_, this, !readingPaused_, on);
}

void ConnectionSocket::Close() {
    if (!open()) return;
    // A last message (the disconnect notice) may still wait, even behind a reply that will
    // now never be filled; give what waits one chance to leave.
    for (const ReplySlot& slot : slots_) {
        output_.append(slot.reply);
        output_.append(slot.behind);
    }
    slots_.clear();
    waitingBytes_ = 0;
    if (outputStart_ < output_.size()) {
        (void)platform::Send(handle_, output_.data() + outputStart_, output_.size() - outputStart_);
    }
    network_.loop().Unwatch(handle_);
    platform::CloseHandle(handle_);
    handle_ = platform::kInvalidHandle;
    output_.clear();
    output_.shrink_to_fit();
}

} // namespace vserver::net
