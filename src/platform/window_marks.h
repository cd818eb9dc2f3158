// The progress window's own mark and the game launcher's window, as the
// window code needs them on either system: on Linux window properties on the
// X display (platform/x11/window_mark.h, built into the X11 library), on
// Windows window properties (SetPropW/GetPropW) on top-level windows
// (window_marks_win.cpp). The names are the launcher protocol's.
//
// Threads: any. Each call blocks for a few round trips to the window system
// at most.
#pragma once

#include <cstdint>

namespace platform {

// A top-level window as the toolkit hands it out: an X window id on Linux,
// an HWND on Windows; 0 for none.
using WindowHandle = uintptr_t;

// Sets the bootstrapper's window mark = 1 on `window`. On failure writes
// "SetProp failed ErrCode:", the system's error code in decimal and "\n" to
// the debugger output and returns false; the window works on without it.
bool markOwnWindow(WindowHandle window);

// Brings the first window carrying the launcher's window mark to the front.
// A minimised (iconified) window is left as it is: activating it would
// restore it. False when no such window was found or could be brought
// forward; the caller counts the launcher as running either way.
bool bringLauncherWindowForward();

}  // namespace platform
