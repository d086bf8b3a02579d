#pragma once
// Reassembles one connection's byte stream into request texts. It owns the connection's
// unfinished message; every complete message in the stream is handed out in order, however
// the chunks are cut or joined. A line feed (or CR LF) right after the end byte is dropped,
// NUL bytes are dropped, and an unfinished message may not grow past a fixed bound.

#include <cstddef>
#include <string>
#include <string_view>

#include "wire/Protocol.h"

namespace vserver::wire {

class MessageAssembler {
public:
    static constexpr std::size_t kMaxPending = 64 * 1024;

    enum class Outcome {
        Consumed,   // every byte was taken; complete messages were handed out
        Stopped,    // the receiver asked to stop; the rest of the chunk is held for Resume
        Overflow,   // the unfinished message passed kMaxPending; see pending()
    };

    // Calls onMessage(std::string_view text) for every message the chunk completes, without
    // its end byte. onMessage returns false to stop (for example when its connection closed).
    template <typename OnMessage>
    Outcome Feed(std::string_view chunk, OnMessage&& onMessage);

    // Feeds the rest of a chunk that an earlier call stopped in, as Feed does.
    template <typename OnMessage>
    Outcome Resume(OnMessage&& onMessage);

    // True while bytes of a stopped chunk wait for Resume.
    bool holdsUnread() const { return !unread_.empty(); }

    // The unfinished message held so far.
    std::string_view pending() const { return pending_; }

private:
    enum class AfterEnd { None, JustEnded, SawCarriageReturn };

    // Drops the line end that may follow an end byte; returns how many bytes of chunk it took.
    std::size_t SkipLineEnd(std::string_view chunk);
    Outcome Hold(std::string_view part);

    // Called when a message completed from pending_: a long message's buffer is given back
    // rather than kept for the connection's lifetime.
    void ReleasePending();

    std::string pending_;
    std::string scratch_;
    std::string unread_;
    // A connection starts as if a message had just ended, so a stray line end before the first
    // message is dropped like one after any other.
    AfterEnd afterEnd_ = AfterEnd::JustEnded;
};

template <typename OnMessage>
MessageAssembler::Outcome MessageAssembler::Feed(std::string_view chunk, OnMessage&& onMessage) {
    if (chunk.find('\0') != std::string_view::npos) {
        scratch_.clear();
        for (char c : chunk) {
            if (c != '\0') scratch_ += c;
        }
        chunk = scratch_;
    }
    while (!chunk.empty()) {
        chunk.remove_prefix(SkipLineEnd(chunk));
        if (chunk.empty()) break;
        std::size_t end = chunk.find(kMessageEnd);
        if (end == std::string_view::npos) return Hold(chunk);
        afterEnd_ = AfterEnd::JustEnded;
        bool more;
        if (pending_.empty()) {
            more = onMessage(chunk.substr(0, end));
        } else {
            pending_.append(chunk.data(), end);
            if (pending_.size() > kMaxPending) return Outcome::Overflow;
            // The receiver may feed this assembler again only after it returns, so handing out
            // a view of pending_ is safe; clear it afterwards.
            more = onMessage(std::string_view(pending_));
            ReleasePending();
        }
        chunk.remove_prefix(end + 1);
        if (!more) {
            unread_.assign(chunk.data(), chunk.size());
            return Outcome::Stopped;
        }
    }
    return Outcome::Consumed;
}

template <typename OnMessage>
MessageAssembler::Outcome MessageAssembler::Resume(OnMessage&& onMessage) {
    std::string rest;
    rest.swap(unread_);
    Outcome outcome = Feed(rest, onMessage);
    // Keep the buffer for the next stop unless a newer one took its place.
    if (unread_.empty()) {
        rest.clear();
        unread_.swap(rest);
    }
    return outcome;
}

} // namespace vserver::wire
