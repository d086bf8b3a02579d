#pragma once
// Work that waits for the end of a turn of the event loop. What a turn's handlers wrote to
// files goes out first, then the replies they queued, so a client never holds a reply whose
// file lines (a client event's statistics line, say) are not yet in their files. Each
// backend's loop owns one and runs it after the turn's handlers, timers and deferred work.

#include <functional>
#include <vector>

namespace vserver::platform {

enum class TurnEndStage {
    Files,    // batched file appends of the turn
    Output,   // the replies the turn queued
};

class TurnEndWork {
public:
    void Add(TurnEndStage stage, std::function<void()> fn);

    // Runs the work of one stage, including work that it adds to the same stage.
    void RunStage(TurnEndStage stage);

    // Runs the stages in order until none holds work: a line written while the replies go
    // out (a failing send reported to the service log) is written in the same turn end.
    void RunAll();

    bool empty() const { return files_.empty() && output_.empty(); }

private:
    std::vector<std::function<void()>>& Of(TurnEndStage stage) {
        return stage == TurnEndStage::Files ? files_ : output_;
    }

    std::vector<std::function<void()>> files_;
    std::vector<std::function<void()>> output_;
};

} // namespace vserver::platform
