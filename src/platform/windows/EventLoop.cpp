// The event loop on a message-only window: Winsock posts socket readiness to the window
// (WSAAsyncSelect), the loop's own timer heap bounds the wait, and a stop from any thread is a
// WM_QUIT posted to the loop's thread.
//
// Every socket message is a hint. Messages of a closed socket can still be queued, and Windows
// reuses socket values, so a stale message may reach a newer connection: handlers always try
// the call and accept WouldBlock.
//
// A notice of our own can fail to be queued: Windows caps a thread's queue at 10,000 posted
// messages. Then nothing is dropped: the next turn asks every watched socket at once whether
// it has input waiting or room to write, and serves the ones that do.

#include "platform/EventLoop.h"

#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <unordered_map>
#include <vector>

#include "NoticePosting.h"
#include "Win32Error.h"
#include "platform/common/LoopWork.h"

namespace vserver::platform {

namespace backend {

namespace {
NoticePoster noticePoster = &::PostMessageA;
}

void SetNoticePosterForTests(NoticePoster poster) { noticePoster = poster != nullptr ? poster : &::PostMessageA; }

} // namespace backend

namespace {

constexpr UINT kSocketMessage = WM_APP + 1;     // from WSAAsyncSelect: wParam socket, lParam event
constexpr UINT kSyntheticMessage = WM_APP + 2;  // our own: wParam socket, lParam one of the kinds below
constexpr UINT kConsoleMessage = WM_APP + 3;    // thread message: wParam the console event
constexpr LPARAM kSyntheticReadable = 1;
constexpr LPARAM kSyntheticWritable = 2;
constexpr LPARAM kSyntheticClosed = 3;
// Reads handed to one connection for one close notification before others get a turn.
constexpr int kReadsPerCloseTurn = 16;
// Socket messages served before timers and deferred work get a turn.
constexpr int kMessagesPerBatch = 256;

constexpr const char* kWindowClass = "VServerServiceEventLoop";

struct Watched {
    IoHandler* handler = nullptr;
    bool wantRead = false;
    bool wantWrite = false;
    bool peerClosed = false;  // FD_CLOSE seen; the rest of the input is still to be read
    bool recheckInput = false;  // listed to be announced again if input still waits
};

std::atomic<DWORD> consoleLoopThread{0};

BOOL WINAPI OnConsoleEvent(DWORD event) {
    const DWORD thread = consoleLoopThread.load();
    if (thread == 0 || !::PostThreadMessageA(thread, kConsoleMessage, event, 0)) return FALSE;
    // After a close, log-off or shutdown event the system ends the process once this handler
    // returns; waiting here gives the loop time to stop the server in order.
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) ::Sleep(5000);
    return TRUE;
}

} // namespace

struct EventLoop::State {
    HWND window = nullptr;
    DWORD thread = 0;
    std::atomic<bool> stop{false};
    LoopWork work;
    std::unordered_map<IoHandle, Watched> watched;
    std::vector<std::pair<IoHandle, IoHandler*>> inputRechecks;
    std::vector<std::pair<IoHandle, IoHandler*>> readAgain;
    std::function<void(StopSignal)> onSignal;
    std::function<void()> onLostNotice;
    bool pollEverySocket = false;  // a notice of ours was not queued

    Watched* Find(IoHandle handle, IoHandler* handler) {
        auto it = watched.find(handle);
        if (it == watched.end() || (handler != nullptr && it->second.handler != handler)) return nullptr;
        return &it->second;
    }

    void Post(IoHandle handle, LPARAM kind) {
        if (backend::noticePoster(window, kSyntheticMessage, handle, kind)) return;
        pollEverySocket = true;
        if (onLostNotice) onLostNotice();
    }

    // The turn after a notice was lost: one poll of every watched socket finds what the lost
    // notice (and any of Winsock's own that met the same full queue) would have announced.
    void ServeLostNotices() {
        if (!pollEverySocket) return;
        pollEverySocket = false;
        std::vector<WSAPOLLFD> polled;
        std::vector<IoHandler*> handlers;
        for (const auto& [handle, entry] : watched) {
            const SHORT events = static_cast<SHORT>((entry.wantRead ? POLLRDNORM : 0) | (entry.wantWrite ? POLLWRNORM : 0));
            if (events == 0) continue;
            polled.push_back(WSAPOLLFD{static_cast<SOCKET>(handle), events, 0});
            handlers.push_back(entry.handler);
        }
        if (polled.empty()) return;
        // Should the poll itself fail, every socket is tried: a handler finds nothing where
        // nothing waits.
        const bool polledOk = ::WSAPoll(polled.data(), static_cast<ULONG>(polled.size()), 0) >= 0;
        for (std::size_t i = 0; i < polled.size() && !stop; ++i) {
            const SHORT ready = polledOk ? polled[i].revents : polled[i].events;
            ServePolled(static_cast<IoHandle>(polled[i].fd), handlers[i], ready);
        }
    }

    void ServePolled(IoHandle handle, IoHandler* handler, SHORT ready) {
        Watched* entry = Find(handle, handler);
        if (entry == nullptr) return;
        if ((ready & (POLLHUP | POLLERR)) != 0) entry->peerClosed = true;
        if (entry->wantRead && (ready & (POLLRDNORM | POLLHUP | POLLERR)) != 0) {
            if (entry->peerClosed) {
                ServeClose(handle, handler);
            } else {
                handler->OnReadable();
                RecheckInputLater(handle, handler);
            }
        }
        entry = Find(handle, handler);
        if (entry != nullptr && entry->wantWrite && (ready & POLLWRNORM) != 0) handler->OnWritable();
    }

    SysResult Select(IoHandle handle, const Watched& entry) {
        if (::WSAAsyncSelect(static_cast<SOCKET>(handle), window, kSocketMessage, SelectedEvents(entry)) != 0) {
            const int code = ::WSAGetLastError();
            return SysResult::Failure("WSAAsyncSelect", ErrnoFromWin32(static_cast<unsigned long>(code)), code);
        }
        // Winsock only reports a change of state: writability comes after a send that would
        // have blocked, and input already waiting may have been announced before this call.
        // Our own hints keep the interface level-triggered.
        if (entry.wantRead) Post(handle, entry.peerClosed ? kSyntheticClosed : kSyntheticReadable);
        if (entry.wantWrite) Post(handle, kSyntheticWritable);
        return SysResult::Ok();
    }

    // A listener is told of a waiting connection once, and told again only after an accept
    // succeeds. A notice can outlive its connection, taken meanwhile by the accept that served
    // an earlier notice; the accept that serves it then finds nothing, and some Winsock
    // implementations (Wine's among them) never announce a connection again: the server would
    // stop accepting for good. Selecting anew after each notice renews it, and announces at
    // once the connections that still wait.
    void RenewAcceptNotice(IoHandle handle, IoHandler* handler) {
        Watched* entry = Find(handle, handler);
        if (entry == nullptr || !entry->wantRead) return;
        ::WSAAsyncSelect(static_cast<SOCKET>(handle), window, kSocketMessage, SelectedEvents(*entry));
    }

    static long SelectedEvents(const Watched& entry) {
        return (entry.wantRead ? FD_ACCEPT | FD_READ | FD_CLOSE : 0) | (entry.wantWrite ? FD_WRITE : 0);
    }

    // FD_CLOSE may come while input is still buffered: the handler reads until nothing is
    // left, and the read after that sees the end of the stream. Winsock says so only once, so
    // until the handler has read that end (and closed the socket) it is told again in later
    // turns, as a level-triggered loop would: a handler may leave input for a later turn.
    void ServeClose(IoHandle handle, IoHandler* handler) {
        for (int turn = 0; turn < kReadsPerCloseTurn && !stop; ++turn) {
            Watched* entry = Find(handle, handler);
            if (entry == nullptr || !entry->wantRead) return;
            u_long waiting = 0;
            const bool known = ::ioctlsocket(static_cast<SOCKET>(handle), FIONREAD, &waiting) == 0;
            handler->OnReadable();
            if (!known || waiting == 0) break;
        }
        Watched* entry = Find(handle, handler);
        if (entry == nullptr || !entry->wantRead) return;
        // A close notice can be stale: Windows reuses socket values, and a notice meant for an
        // earlier socket of the same value may reach a live connection. Only a socket whose
        // next read would see data, the end or an error is looked at again.
        char next = 0;
        if (::recv(static_cast<SOCKET>(handle), &next, 1, MSG_PEEK) < 0 && ::WSAGetLastError() == WSAEWOULDBLOCK) {
            entry->peerClosed = false;
            return;
        }
        RecheckInputLater(handle, handler);
    }

    // Winsock announces input again only after a recv. A handler may leave input unread for a
    // later turn (a connection whose earlier requests still wait), so a socket that was told
    // of input is looked at again once the turn's work is done, and told once more in the
    // next turn while input still waits: the interface stays level-triggered, as it is on
    // every other system, with one call per socket and turn and no message in between.
    void RecheckInputLater(IoHandle handle, IoHandler* handler) {
        Watched* entry = Find(handle, handler);
        if (entry == nullptr || entry->recheckInput) return;
        entry->recheckInput = true;
        inputRechecks.emplace_back(handle, handler);
    }

    void AnnounceInputStillWaiting() {
        for (const auto& [handle, handler] : inputRechecks) {
            Watched* entry = Find(handle, handler);
            if (entry == nullptr) continue;
            entry->recheckInput = false;
            if (!entry->wantRead) continue;
            if (entry->peerClosed) {
                readAgain.emplace_back(handle, handler);
                continue;
            }
            u_long waiting = 0;
            if (::ioctlsocket(static_cast<SOCKET>(handle), FIONREAD, &waiting) == 0 && waiting > 0) {
                readAgain.emplace_back(handle, handler);
            }
        }
        inputRechecks.clear();
    }

    void ServeInputStillWaiting() {
        std::vector<std::pair<IoHandle, IoHandler*>> due;
        due.swap(readAgain);
        for (const auto& [handle, handler] : due) {
            if (stop) return;
            Watched* entry = Find(handle, handler);
            if (entry == nullptr || !entry->wantRead) continue;
            if (entry->peerClosed) {
                ServeClose(handle, handler);
                continue;
            }
            handler->OnReadable();
            RecheckInputLater(handle, handler);
        }
    }

    void Serve(IoHandle handle, LPARAM kind, WORD event) {
        Watched* entry = Find(handle, nullptr);
        if (entry == nullptr) return;
        IoHandler* handler = entry->handler;
        if (kind == kSyntheticClosed || event == FD_CLOSE) {
            entry->peerClosed = true;
            ServeClose(handle, handler);
        } else if (kind == kSyntheticReadable || event == FD_READ || event == FD_ACCEPT) {
            if (!entry->wantRead) return;
            handler->OnReadable();
            if (event == FD_ACCEPT) RenewAcceptNotice(handle, handler);
            RecheckInputLater(handle, handler);
        } else if (kind == kSyntheticWritable || event == FD_WRITE) {
            if (entry->wantWrite) handler->OnWritable();
        }
    }

    static LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        auto* state = reinterpret_cast<State*>(::GetWindowLongPtrA(window, GWLP_USERDATA));
        if (state != nullptr && message == kSocketMessage) {
            state->Serve(static_cast<IoHandle>(wParam), 0, WSAGETSELECTEVENT(lParam));
            return 0;
        }
        if (state != nullptr && message == kSyntheticMessage) {
            state->Serve(static_cast<IoHandle>(wParam), lParam, 0);
            return 0;
        }
        return ::DefWindowProcA(window, message, wParam, lParam);
    }

    DWORD WaitMilliseconds() {
        if (!readAgain.empty() || pollEverySocket) return 0;
        auto limit = work.WaitLimit();
        if (!limit) return INFINITE;
        return static_cast<DWORD>(std::min<long long>(limit->count(), 0x7ffffffe));
    }
};

EventLoop::EventLoop() : state_(std::make_unique<State>()) {
    // The window, and with it this thread's message queue, exists before anyone can post a
    // stop: a message posted to a thread without a queue is lost.
    HINSTANCE instance = ::GetModuleHandleA(nullptr);
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = &State::WindowProcedure;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kWindowClass;
    ::RegisterClassA(&windowClass);  // fails harmlessly when a second loop registers it again
    state_->window = ::CreateWindowExA(0, kWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr);
    if (state_->window == nullptr) return;
    ::SetWindowLongPtrA(state_->window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(state_.get()));
    state_->thread = ::GetCurrentThreadId();
    MSG ignored;
    ::PeekMessageA(&ignored, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
}

EventLoop::~EventLoop() {
    if (consoleLoopThread.load() == state_->thread && state_->onSignal) {
        ::SetConsoleCtrlHandler(&OnConsoleEvent, FALSE);
        consoleLoopThread = 0;
    }
    if (state_->window != nullptr) ::DestroyWindow(state_->window);
}

bool EventLoop::valid() const { return state_->window != nullptr; }

SysResult EventLoop::Watch(IoHandle handle, IoHandler* handler, bool wantRead, bool wantWrite) {
    Watched entry{handler, wantRead, wantWrite, false};
    SysResult selected = state_->Select(handle, entry);
    if (selected) state_->watched[handle] = entry;
    return selected;
}

SysResult EventLoop::Modify(IoHandle handle, IoHandler* handler, bool wantRead, bool wantWrite) {
    auto it = state_->watched.find(handle);
    if (it == state_->watched.end()) return SysResult::Failure("WSAAsyncSelect", ENOENT);
    Watched& entry = it->second;
    const bool changed = entry.wantRead != wantRead || entry.wantWrite != wantWrite;
    entry.handler = handler;
    entry.wantRead = wantRead;
    entry.wantWrite = wantWrite;
    if (!changed) {
        if (wantWrite) state_->Post(handle, kSyntheticWritable);
        return SysResult::Ok();
    }
    return state_->Select(handle, entry);
}

void EventLoop::Unwatch(IoHandle handle) {
    if (state_->watched.erase(handle) == 0) return;
    ::WSAAsyncSelect(static_cast<SOCKET>(handle), state_->window, 0, 0);
}

LoopWork& EventLoop::work() { return state_->work; }

SysResult EventLoop::WatchStopSignals(std::function<void(StopSignal)> onSignal) {
    state_->onSignal = std::move(onSignal);
    consoleLoopThread = state_->thread;
    if (!::SetConsoleCtrlHandler(&OnConsoleEvent, TRUE)) return LastWin32Failure("SetConsoleCtrlHandler");
    return SysResult::Ok();
}

void EventLoop::OnLostNotice(std::function<void()> observer) { state_->onLostNotice = std::move(observer); }

void EventLoop::Stop() {
    state_->stop = true;
    // A quit the queue refuses is not needed: a full queue wakes the loop, which sees the flag.
    if (state_->thread != 0) (void)::PostThreadMessageA(state_->thread, WM_QUIT, 0, 0);
}

bool EventLoop::stopping() const { return state_->stop; }

void EventLoop::Run() {
    State& s = *state_;
    s.work.SetRunning(true);
    while (!s.stop) {
        ::MsgWaitForMultipleObjectsEx(0, nullptr, s.WaitMilliseconds(), QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        s.work.BeginTurn();
        MSG message;
        for (int served = 0; served < kMessagesPerBatch && !s.stop && ::PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE);
             ++served) {
            // WM_QUIT only wakes the wait; the flag decides. A quit posted for an earlier loop
            // of this thread, and still queued, must not end this one.
            if (message.message == WM_QUIT) {
                continue;
            } else if (message.hwnd == nullptr && message.message == kConsoleMessage) {
                if (s.onSignal) s.onSignal(message.wParam == CTRL_C_EVENT ? StopSignal::Interrupt : StopSignal::Terminate);
            } else {
                ::DispatchMessageA(&message);
            }
        }
        s.ServeLostNotices();
        s.work.RunHandedOn(s.stop);
        s.ServeInputStillWaiting();
        s.work.RunDueAndDeferred(s.stop);
        s.work.RunTurnEnd();
        s.AnnounceInputStillWaiting();
    }
    s.work.SetRunning(false);
}

} // namespace vserver::platform
