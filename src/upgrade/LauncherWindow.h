// What the update workflow needs of the progress window, and nothing more:
// the worker and its timer callbacks reach the window only through this, so
// the workflow is built and tested without a display. The progress window
// implements it; the tests use a scripted fake.
//
// Threads: the window lives on the main thread. Every operation may be
// called from the worker, the timer thread or the launcher-quit wait. The
// ones that act on the window are blocking sends: they run the window's
// handling on the main thread and return once it is done. When the main
// loop no longer handles anything (it has ended and the manager is being
// destroyed), such a send returns when `stop`, the manager's termination
// request, is raised instead of hanging.
#pragma once

#include <cstdint>
#include <stop_token>

#include "foundation/StringTable.h"
#include "platform/window_send.h"

// The window message that carries the bar's value.
inline constexpr uint32_t WM_LAUNCHER_PROGRESS = 2023;
// The bar's scale: 500 is full.
inline constexpr uint32_t kProgressFull = 500;

class LauncherWindow {
public:
    virtual ~LauncherWindow() = default;

    // False once the window has been closed (close button or WM_CLOSE). A
    // plain read; never blocks.
    virtual bool IsRunning() const = 0;

    // WM_LAUNCHER_PROGRESS: the bar shows `value`, capped at 500.
    virtual void SetProgress(uint32_t value, std::stop_token stop) = 0;

    // The modal box with string `id`, caption "Warning" and the warning icon,
    // owned by the window; returns once the user has confirmed it.
    virtual void ShowWarning(uint32_t id, std::stop_token stop) = 0;

    // True when the game launcher runs (someone holds the launcher marker,
    // gamelauncher/LauncherProtocol.h), after bringing its window forward,
    // and also when the probe itself failed (after warning 110); false when
    // it does not run. Runs on the calling thread.
    virtual bool IsLauncherRunning(std::stop_token stop) = 0;

    // Hides the window; it stays alive and its loop keeps running.
    virtual void Hide(std::stop_token stop) = 0;

    // The blocking WM_CLOSE send: 0 once the window has handled it (running
    // flag false, hidden, quit posted), kSendInterrupted when `stop` ended
    // the wait first. Any other value is a failed send.
    virtual int32_t Close(std::stop_token stop) = 0;
};
