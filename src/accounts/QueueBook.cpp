#include "accounts/QueueBook.h"

#include <algorithm>
#include <functional>
#include <unordered_map>

#include "accounts/QueueRecords.h"
#include "settings/ServiceLog.h"

namespace vserver::accounts {

QueueBook::Delivery* QueueBook::Find(DeliveryId id) {
    auto it = std::find_if(deliveries_.begin(), deliveries_.end(), [id](const Delivery& d) { return d.id == id; });
    return it == deliveries_.end() ? nullptr : &*it;
}

void QueueBook::MarkRead(DeliveryId id) {
    if (Delivery* delivery = Find(id); delivery != nullptr && delivery->state == State::AwaitingRead) {
        delivery->state = State::Read;
    }
}

void QueueBook::Release(DeliveryId id) {
    std::erase_if(deliveries_, [id](const Delivery& d) { return d.id == id && d.state == State::AwaitingRead; });
}

bool QueueBook::removalsWaiting() const {
    return std::any_of(deliveries_.begin(), deliveries_.end(), [](const Delivery& d) { return d.state == State::Read; });
}

QueueBook::Fingerprint QueueBook::FingerprintOf(std::string_view bytes) {
    return {bytes.size(), std::hash<std::string_view>{}(bytes)};
}

bool QueueBook::StillKnown(std::string_view text) const {
    if (!known_ || text.size() < known_->size) return false;
    const Fingerprint now = FingerprintOf(text.substr(0, known_->size));
    return now.hash == known_->hash;
}

QueueBook::Pass QueueBook::Run(std::string& text, std::span<const std::string> accounts) {
    if (!deliveries_.empty() && !StillKnown(text)) {
        settings::WriteServiceLog("Queue file " + path_ +
                                  " was changed by another program; items handed out and not yet confirmed will be "
                                  "delivered again");
        Forget();
    }
    // How many of each record are out, and how many of those were read.
    struct Out {
        int read = 0;
        int awaiting = 0;
    };
    std::unordered_map<std::string_view, Out> out;
    for (const Delivery& delivery : deliveries_) {
        for (const std::string& record : delivery.records) {
            Out& count = out[record];
            ++(delivery.state == State::Read ? count.read : count.awaiting);
        }
    }
    // Only records that were in the file as the book left it can be out; later ones are new.
    const std::size_t knownEnd = known_ ? known_->size : 0;
    Pass pass;
    pass.collected.resize(accounts.size());
    std::vector<std::size_t> dropped;
    ForEachRecord(text, [&](std::string_view record, std::size_t offset) {
        if (!out.empty() && offset < knownEnd) {
            if (auto it = out.find(record); it != out.end()) {
                if (it->second.read > 0) {
                    --it->second.read;
                    dropped.push_back(offset);
                    return;
                }
                if (it->second.awaiting > 0) {
                    --it->second.awaiting;
                    return;
                }
            }
        }
        if (accounts.empty()) return;
        if (const std::size_t owner = OwnerOf(record, accounts); owner != kNoOwner) {
            Collected& collected = pass.collected[owner];
            AppendPayload(record, collected.result);
            collected.taken.emplace_back(record);
        }
    });
    if (dropped.empty()) {
        // Read deliveries none of whose records is left have nothing more to remove.
        std::erase_if(deliveries_, [](const Delivery& d) { return d.state == State::Read; });
        return pass;
    }
    KeepRecords(text, dropped);
    pass.removed = true;
    for (Delivery& delivery : deliveries_) {
        if (delivery.state == State::Read) delivery.state = State::Removing;
    }
    return pass;
}

void QueueBook::Open(std::vector<std::string> records) {
    deliveries_.push_back(Delivery{nextId_++, State::AwaitingRead, std::move(records)});
}

void QueueBook::Leave(std::string_view fileBytes) {
    if (deliveries_.empty()) {
        known_.reset();
    } else {
        known_ = FingerprintOf(fileBytes);
    }
}

void QueueBook::RemovalDone(bool replaced) {
    if (!replaced) {
        Forget();
        return;
    }
    std::erase_if(deliveries_, [](const Delivery& d) { return d.state == State::Removing; });
    if (deliveries_.empty()) known_.reset();
}

void QueueBook::Forget() {
    deliveries_.clear();
    known_.reset();
}

} // namespace vserver::accounts
