#pragma once
// Work that another process can hold up (a file whose lock is taken) is tried again by a timer
// on the loop instead of a wait: the loop serves everyone else meanwhile.

#include <chrono>
#include <functional>
#include <memory>

#include "platform/EventLoop.h"

namespace vserver::platform {

// Calls attempt now and, while it returns false, again after each delay, at most attempts
// times in all; then giveUp runs. attempt may finish its work before returning true.
inline void RetryOnLoop(EventLoop& loop, int attempts, std::chrono::milliseconds delay,
                        std::function<bool()> attempt, std::function<void()> giveUp) {
    struct Retry {
        EventLoop& loop;
        int left;
        std::chrono::milliseconds delay;
        std::function<bool()> attempt;
        std::function<void()> giveUp;

        static void Run(std::shared_ptr<Retry> self) {
            if (self->attempt()) return;
            if (--self->left <= 0) {
                self->giveUp();
                return;
            }
            EventLoop& loop = self->loop;
            std::chrono::milliseconds delay = self->delay;
            loop.AddTimer(delay, [self = std::move(self)]() mutable { Run(std::move(self)); });
        }
    };
    Retry::Run(std::make_shared<Retry>(Retry{loop, attempts, delay, std::move(attempt), std::move(giveUp)}));
}

} // namespace vserver::platform
