#pragma once
// The one event loop of the server: readiness of sockets, monotonic timers, deferred tasks and
// the stop signals, all delivered on the thread that calls Run. Nothing here blocks except the
// wait for the next event, and that wait has no timeout unless a timer is due, so an idle
// server uses no CPU.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/SysResult.h"
#include "platform/SystemTraits.h"
#include "platform/common/TurnEndWork.h"

namespace vserver::platform {

// Receives readiness for one handle. The loop keeps only a pointer: unwatch the handle before
// the handler is destroyed.
class IoHandler {
public:
    virtual void OnReadable() = 0;
    virtual void OnWritable() = 0;

protected:
    ~IoHandler() = default;
};

enum class StopSignal { Terminate, Interrupt };

class LoopWork;

class EventLoop {
public:
    using TimerId = std::uint64_t;

    EventLoop();
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // False when the loop could not be created; nothing else works then.
    bool valid() const;

    SysResult Watch(IoHandle handle, IoHandler* handler, bool wantRead, bool wantWrite);
    SysResult Modify(IoHandle handle, IoHandler* handler, bool wantRead, bool wantWrite);
    void Unwatch(IoHandle handle);

    // Runs fn once after delay. A cancelled or already-run timer id is ignored by CancelTimer.
    TimerId AddTimer(std::chrono::milliseconds delay, std::function<void()> fn);
    void CancelTimer(TimerId id);

    // Runs fn after the current event's handler has returned, before the loop waits again.
    void Defer(std::function<void()> fn);

    // Runs fn in the next turn of the loop, after the readiness events that turn brings, so
    // work cut short to be fair resumes only after every other ready handle had its share.
    // The loop does not sleep while such work waits.
    void RunNextTurn(std::function<void()> fn);

    // Runs fn once at the end of the current turn, after its handlers, timers and deferred work
    // and before the loop waits again: all Files work of the turn first, then all Output work.
    // Outside Run (start-up, shutdown) there is no turn to wait for, and fn runs at once.
    void AtTurnEnd(TurnEndStage stage, std::function<void()> fn);
    // Runs the work of stage registered so far now: a reply that has to leave before the turn
    // ends first has the turn's file lines written.
    void RunTurnEndStage(TurnEndStage stage);

    // Calls observer on the loop's thread each time the system refuses to queue a readiness
    // notice of the loop's own; the loop then finds what the notice would have announced by
    // asking every socket in its next turn, so nothing waits for a notice that never comes.
    // Only a loop that queues notices as messages (Windows) can lose one.
    void OnLostNotice(std::function<void()> observer);

    // Delivers SIGTERM and SIGINT into the loop instead of ending the process.
    SysResult WatchStopSignals(std::function<void(StopSignal)> onSignal);

    // Serves events until Stop is called.
    void Run();
    // Ends Run once the current handler has returned. Safe from any thread: a service manager
    // or console delivers its stop on a thread of its own, so Stop also wakes a loop that waits.
    void Stop();
    bool stopping() const;

private:
    struct State;
    // The timers and the work of a turn, which every backend keeps alike (defined per backend).
    LoopWork& work();

    std::unique_ptr<State> state_;
};

} // namespace vserver::platform
