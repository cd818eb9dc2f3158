// Runs work on a window's thread for a caller on another thread and waits
// for it, the way SendMessageW does across threads, except that the caller's
// stop request also ends the wait. A message SendMessageW has sent cannot
// be taken back once the sender stops waiting, so the work travels as a
// posted call that runs only while its caller still waits for it. Private
// to src/ui/toolkit/win32/.
#pragma once

#include "ui/toolkit/win32/Win32.h"

#include <cstdint>
#include <functional>
#include <stop_token>

#include "ui/toolkit/PendingCall.h"

namespace ui {

// The window message that carries a posted call; every window of the
// backend hands it to runPostedCall.
inline constexpr UINT kWmRunCall = WM_APP + 0x2A;

// Runs `work` on `target`'s thread: directly when that is the calling
// thread, else queued behind the messages already posted there, blocking
// the caller until it has run. Waits without a time-out but wakes on
// `stop`. `work` must own what it uses: it may still be running when an
// interrupted caller has returned.
CallResult callOnUiThread(HWND target, std::function<intptr_t()> work, std::stop_token stop, intptr_t* out);

// The window procedure's side of kWmRunCall: runs the call (`run`) or drops
// it (the window is going away) and tells the caller.
void runPostedCall(LPARAM call, bool run);

// Drops every call still queued for `window`; called while it is destroyed.
void dropPostedCalls(HWND window);

}  // namespace ui
