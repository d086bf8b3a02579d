#include "platform/common/FolderNameCache.h"

#include <algorithm>

#include "formats/TextCase.h"

namespace vserver::platform {

namespace {

constexpr std::int64_t kMillisecondNs = 1'000'000;
// The file systems the server runs on stamp changes from the kernel's coarse clock, which
// lags the real time by at most one scheduler tick (10 ms at the slowest tick rate).
constexpr std::int64_t kFineMarginNs = 100 * kMillisecondNs;
// FAT keeps modification times in steps of two seconds, older file systems in whole seconds.
constexpr std::int64_t kCoarseMarginNs = 3'000 * kMillisecondNs;

// Each listing counts its folder as one name more, so many empty folders are bounded too.
std::size_t WeightOf(const FolderListing& listing) { return listing.size() + 1; }

} // namespace

void FolderListing::Add(std::string name, EntryKind kind, std::string_view form) {
    auto index = static_cast<std::uint32_t>(entries_.size());
    auto [first, added] = firstByUpper_.try_emplace(UpperCase(form.empty() ? std::string_view(name) : form), index);
    sharesForm_.push_back(!added);
    if (!added) sharesForm_[first->second] = true;
    entries_.push_back({std::move(name), kind});
}

const ListedEntry* FolderListing::Find(std::string_view name, std::string_view form) const {
    auto first = firstByUpper_.find(UpperCase(form.empty() ? name : form));
    if (first == firstByUpper_.end()) return nullptr;
    const ListedEntry& candidate = entries_[first->second];
    if (candidate.name == name || !sharesForm_[first->second]) return &candidate;
    for (const ListedEntry& entry : entries_) {
        if (entry.name == name) return &entry;
    }
    return &candidate;
}

bool FolderNameCache::StampsSettled(const FolderStamps& stamps, std::int64_t readTimeNs) {
    bool coarse = stamps.modifiedNs % kMillisecondNs == 0 && stamps.changedNs % kMillisecondNs == 0;
    std::int64_t latest = std::max(stamps.modifiedNs, stamps.changedNs);
    // A stamp ahead of the clock (the clock was set back) is too recent as well.
    return readTimeNs - latest > (coarse ? kCoarseMarginNs : kFineMarginNs);
}

const FolderListing* FolderNameCache::Find(const std::string& folder, const FolderStamps& stamps) {
    auto found = byFolder_.find(folder);
    if (found == byFolder_.end()) return nullptr;
    auto slot = found->second;
    if (!(slot->stamps == stamps)) {
        Evict(slot);
        return nullptr;
    }
    slots_.splice(slots_.begin(), slots_, slot);
    return &slot->listing;
}

void FolderNameCache::Store(const std::string& folder, const FolderStamps& stamps, std::int64_t readTimeNs,
                            FolderListing listing) {
    if (auto old = byFolder_.find(folder); old != byFolder_.end()) Evict(old->second);
    std::size_t weight = WeightOf(listing);
    if (!StampsSettled(stamps, readTimeNs) || weight > maxNames_) return;
    while (!slots_.empty() && names_ + weight > maxNames_) Evict(std::prev(slots_.end()));
    names_ += weight;
    slots_.push_front({folder, stamps, std::move(listing)});
    byFolder_.emplace(folder, slots_.begin());
}

void FolderNameCache::Clear() {
    slots_.clear();
    byFolder_.clear();
    names_ = 0;
}

void FolderNameCache::Evict(std::list<Slot>::iterator slot) {
    names_ -= WeightOf(slot->listing);
    byFolder_.erase(slot->folder);
    slots_.erase(slot);
}

} // namespace vserver::platform
