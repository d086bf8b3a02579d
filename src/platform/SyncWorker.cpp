#include "platform/DurableWrites.h"

namespace vserver::platform {

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
