#include "settings/OptionWriter.h"

#include <chrono>
#include <utility>

#include "settings/ServiceLog.h"

namespace vserver::settings {
namespace {

// How long another process may keep the registry file's lock before a write gives up: 100
// attempts 50 ms apart.
constexpr int kAttempts = 100;
constexpr std::chrono::milliseconds kRetryDelay{50};

} // namespace

void OptionWriter::Write(std::string name, std::string text, std::function<void(bool written)> done) {
    queue_.push_back(Pending{std::move(name), std::move(text), std::move(done), kAttempts});
    if (queue_.size() == 1) Attempt();
}

void OptionWriter::Attempt() {
    Pending& head = queue_.front();
    switch (config_.WriteOptionDurably(head.name, head.text, syncs_, [this](bool written) { Finish(written); })) {
    case ConfigStore::WriteStart::Started: return;
    case ConfigStore::WriteStart::Failed: Finish(false); return;
    case ConfigStore::WriteStart::Busy: break;
    }
    if (--head.attemptsLeft > 0) {
        loop_.AddTimer(kRetryDelay, [this] { Attempt(); });
        return;
    }
    WriteServiceLog("Unable to write option " + head.name + " to " + config_.registryName() +
                    ": another process holds its lock");
    Finish(false);
}

void OptionWriter::Finish(bool written) {
    std::function<void(bool)> done = std::move(queue_.front().done);
    queue_.pop_front();
    done(written);
    // The next write starts after this turn's work, so a run of failing writes never nests.
    if (!queue_.empty()) loop_.Defer([this] { Attempt(); });
}

} // namespace vserver::settings
