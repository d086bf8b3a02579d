#include "platform/DurableWrites.h"

#include <utility>

namespace vserver::platform {

UnsyncedWrite::UnsyncedWrite(UnsyncedWrite&& other) noexcept
    : file(std::exchange(other.file, kInvalidHandle)),
      temporary(std::move(other.temporary)),
      target(std::move(other.target)),
      syncFolder(std::exchange(other.syncFolder, false)),
      wholeFolder(std::exchange(other.wholeFolder, false)),
      lock(std::exchange(other.lock, kInvalidHandle)),
      folder(std::exchange(other.folder, kInvalidHandle)) {}

UnsyncedWrite& UnsyncedWrite::operator=(UnsyncedWrite&& other) noexcept {
    // What this one owed goes with taken (whose destructor closes its file and folder).
    UnsyncedWrite taken(std::move(other));
    std::swap(file, taken.file);
    std::swap(temporary, taken.temporary);
    std::swap(target, taken.target);
    std::swap(syncFolder, taken.syncFolder);
    std::swap(wholeFolder, taken.wholeFolder);
    std::swap(lock, taken.lock);
    std::swap(folder, taken.folder);
    return *this;
}

void SyncWorker::Submit(UnsyncedWrite write, std::function<void(SysResult)> done, std::string orderKey) {
    ++inFlight_;
    if (!orderKey.empty()) ++keys_[orderKey].inFlight;
    StartSync(std::move(write), [this, key = std::move(orderKey), done = std::move(done)](SysResult result) {
        --inFlight_;
        if (done) done(result);
        if (!key.empty()) Settle(key);
    });
}

void SyncWorker::AfterWritesTo(const std::string& orderKey, std::function<void()> fn) {
    auto it = keys_.find(orderKey);
    if (it == keys_.end()) {
        fn();
        return;
    }
    it->second.waiting.push_back(std::move(fn));
}

void SyncWorker::Settle(const std::string& orderKey) {
    auto it = keys_.find(orderKey);
    if (it == keys_.end() || --it->second.inFlight > 0) return;
    // Each waiter may submit under the key again (the ones behind it then wait for that write)
    // or add to the map, so the entry is looked up afresh after every call.
    for (;;) {
        it = keys_.find(orderKey);
        if (it == keys_.end() || it->second.inFlight > 0) return;
        if (it->second.waiting.empty()) {
            keys_.erase(it);
            return;
        }
        std::function<void()> next = std::move(it->second.waiting.front());
        it->second.waiting.pop_front();
        next();
    }
}

} // namespace vserver::platform
