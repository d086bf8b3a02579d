#pragma once
// How the Windows event loop queues its own readiness notices: PostMessageA, which a test may
// replace with a call that fails, to stand in for a thread's message queue that is full (Windows
// caps it at 10,000 posted messages; Wine has no cap). Used inside the Windows backend and its
// tests only.

#include <windows.h>

namespace vserver::platform::backend {

using NoticePoster = BOOL(WINAPI*)(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Replaces PostMessageA for the loop's notices; nullptr goes back to it.
void SetNoticePosterForTests(NoticePoster poster);

} // namespace vserver::platform::backend
