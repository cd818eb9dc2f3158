// Window marks on the X display: a mark is a property of the mark's name on
// a window, of type CARDINAL, format 32, holding 1; a window carries it when
// the property is there and not all zero. The bootstrapper marks its own
// window and finds the game launcher's window by its mark, walking every
// window of the display, and brings it to the front. The names are the
// launcher protocol's (gamelauncher/LauncherProtocol.h).
//
// Each call opens its own short connection to $DISPLAY, so it may be made
// from any thread and needs nothing of the toolkit that owns the window; a
// property lives on the server, not in a connection. Without a display
// nothing is set and nothing is found. Each call blocks for a few round
// trips to the X server at most.
#pragma once

#include <cstdint>

#include "gamelauncher/LauncherProtocol.h"

namespace platform::x11 {

// An X window id as the toolkit hands it out (QWidget::winId()).
using NativeWindow = uint64_t;

// Sets the bootstrapper's own mark = 1 on `window`. On failure writes
// "SetProp failed ErrCode:", the error code in decimal and "\n" to the
// debugger output and returns false; the window works on without the mark.
// The code is the X error code of the refused request (3 for a window that
// does not exist), or, without a usable display, the connection error.
bool SetWindowMark(NativeWindow window);

// Sets the mark `name` = 1 on `window`; the X error code (or the connection
// error) in `errorCode` on failure. SetWindowMark is this with the own mark.
bool setMark(NativeWindow window, const char* name, uint32_t* errorCode = nullptr);

// Whether `window` carries a non-null mark `name`; false without a display.
bool hasMark(NativeWindow window, const char* name);

enum class BringForwardResult {
    Activated,  // found and brought to the front
    Minimised,  // found, but iconified: left as it is
    NotFound,   // no window carries the mark
    NoDisplay,  // no X display could be reached
};

// Walks the window tree from the root, top-most first, each window before
// its children, and brings the first window carrying a non-null mark `name`
// to the front: an EWMH _NET_ACTIVE_WINDOW request to the root, which a
// window manager acts on, and, when no window manager runs, a raise to the
// top of the stack and the input focus. An iconified window gets neither,
// because window managers de-iconify on activation and it must not be
// restored. Returns once the server has processed the requests.
BringForwardResult bringMarkedWindowForward(const char* name = launcherprotocol::kLauncherWindowMark);

// The id of the first window (same walk) carrying the mark, 0 when none.
NativeWindow findMarkedWindow(const char* name);

// Waits until some window carries the mark `name` (one that already does
// counts at once) and returns its id; 0 when `timeoutMs` passed first or
// there is no display. Woken by the server's map and property events, so
// it costs nothing while it waits.
NativeWindow waitForMarkedWindow(const char* name, int timeoutMs);

}  // namespace platform::x11
