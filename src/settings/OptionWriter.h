#pragma once
// The console's option writes, one at a time in the order they came. Each is acknowledged only
// once its value is on disk, and the next starts from the file the one before it left, so
// writes from several connections in quick succession are all kept. While another process
// holds the registry file's lock, the write at the head is tried again by a timer and the loop
// serves everyone else meanwhile. It only points to the loop, the sync worker and the store.

#include <deque>
#include <functional>
#include <string>

#include "platform/DurableWrites.h"
#include "platform/EventLoop.h"
#include "settings/ConfigStore.h"

namespace vserver::settings {

class OptionWriter {
public:
    OptionWriter(platform::EventLoop& loop, platform::SyncWorker& syncs, const ConfigStore& config)
        : loop_(loop), syncs_(syncs), config_(config) {}
    OptionWriter(const OptionWriter&) = delete;
    OptionWriter& operator=(const OptionWriter&) = delete;

    // Writes name = text; done(true) runs on the loop once the value is durable, done(false)
    // when it cannot be written (the reason is in the service log).
    void Write(std::string name, std::string text, std::function<void(bool written)> done);

private:
    struct Pending {
        std::string name;
        std::string text;
        std::function<void(bool)> done;
        int attemptsLeft;
    };

    void Attempt();
    void Finish(bool written);

    platform::EventLoop& loop_;
    platform::SyncWorker& syncs_;
    const ConfigStore& config_;
    std::deque<Pending> queue_;
};

} // namespace vserver::settings
