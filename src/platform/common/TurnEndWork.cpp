#include "platform/common/TurnEndWork.h"

namespace vserver::platform {

void TurnEndWork::Add(TurnEndStage stage, std::function<void()> fn) { Of(stage).push_back(std::move(fn)); }

void TurnEndWork::RunStage(TurnEndStage stage) {
    auto& work = Of(stage);
    // A stage run early from inside work of the same stage (a reply pushed out while replies
    // are being pushed out) finds that work taken already and has nothing left to do.
    while (!work.empty()) {
        std::vector<std::function<void()>> batch;
        batch.swap(work);
        for (auto& fn : batch) fn();
    }
}

void TurnEndWork::RunAll() {
    while (!empty()) {
        RunStage(TurnEndStage::Files);
        RunStage(TurnEndStage::Output);
    }
}

} // namespace vserver::platform
