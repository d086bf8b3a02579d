#include "wire/MessageAssembler.h"

namespace vserver::wire {

std::size_t MessageAssembler::SkipLineEnd(std::string_view chunk) {
    std::size_t taken = 0;
    if (afterEnd_ == AfterEnd::JustEnded) {
        if (chunk[0] == '\n') {
            afterEnd_ = AfterEnd::None;
            return 1;
        }
        if (chunk[0] != '\r') {
            afterEnd_ = AfterEnd::None;
            return 0;
        }
        afterEnd_ = AfterEnd::SawCarriageReturn;
        taken = 1;
        if (chunk.size() == 1) return taken;
    }
    if (afterEnd_ == AfterEnd::SawCarriageReturn) {
        afterEnd_ = AfterEnd::None;
        if (chunk[taken] == '\n') return taken + 1;
        // A lone CR after the end byte belongs to the next message.
        pending_ += '\r';
    }
    return taken;
}

void MessageAssembler::ReleasePending() {
    constexpr std::size_t kKeptCapacity = 4096;
    if (pending_.capacity() > kKeptCapacity) {
        std::string().swap(pending_);
    } else {
        pending_.clear();
    }
}

MessageAssembler::Outcome MessageAssembler::Hold(std::string_view part) {
    afterEnd_ = AfterEnd::None;
    if (pending_.size() + part.size() > kMaxPending) {
        std::size_t room = kMaxPending + 1 - pending_.size();
        pending_.append(part.data(), part.size() < room ? part.size() : room);
        return Outcome::Overflow;
    }
    pending_.append(part.data(), part.size());
    return Outcome::Consumed;
}

} // namespace vserver::wire
