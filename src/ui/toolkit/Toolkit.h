// The skinned-window toolkit: start, message loop and message box. The
// windows themselves are SkinWindow (SkinWindow.h). A backend implements it
// (SkinBackend.h; here Qt Widgets, src/ui/toolkit/qt/), but nothing in these
// public headers needs the backend, so start-up can call them without it.
//
// Threads: StartToolkit, RunMessageLoop, StopToolkit and the windows belong
// to one thread, the UI thread (the one that called StartToolkit).
// PostQuitMessage may be called from any thread.
#pragma once

#include <cstdint>
#include <stop_token>

// windows.h makes MessageBox and SendMessage macros; where it was included
// before, they must not rename the toolkit's own functions of those names.
#undef MessageBox
#undef SendMessage

namespace ui {

class SkinWindow;

enum class ToolkitStart {
    Started,
    // No windowing system to talk to: neither DISPLAY nor WAYLAND_DISPLAY is
    // set and no platform was chosen through QT_QPA_PLATFORM.
    NoDisplay,
    // The windowing platform could not be started (no usable plugin, the
    // display refused the connection).
    PlatformFailed,
    // StartToolkit was called before without StopToolkit.
    AlreadyStarted,
};

// A short English text for the log, e.g. "no display".
const char* ToolkitStartText(ToolkitStart result);

// Starts the toolkit on the calling thread; `resourcePath` is the folder
// skins are looked up in when they are not compiled in (the program folder
// with a trailing separator). Checks that a windowing platform can be used
// before creating anything that would end the process otherwise: on any
// result but Started nothing was created and the process goes on.
ToolkitStart StartToolkit(const wchar_t* resourcePath);

// True between a successful StartToolkit and StopToolkit.
bool ToolkitStarted();

// The resource path given to StartToolkit ("" before).
const wchar_t* ToolkitResourcePath();

// Runs the message loop until a quit message is taken from the queue and
// returns its code. A quit posted before the loop runs ends the next loop
// right after the messages queued before it.
int RunMessageLoop();

// Queues a quit message behind everything already queued (PostQuitMessage).
void PostQuitMessage(int code);

// Releases the toolkit. Call after every window has been destroyed.
void StopToolkit();

enum class MessageIcon { None, Error, Warning, Information };

// MessageBoxW's result for the one OK button.
inline constexpr int32_t kIdOk = 1;

// Shows a modal box with one OK button and returns kIdOk once the user has
// confirmed it. `owner` (may be null) is disabled while the box is open.
// Must be called on the UI thread (see SkinWindow::MessageBox for others).
// Returns 0 when the toolkit is not started.
int32_t MessageBox(SkinWindow* owner, const wchar_t* text, const wchar_t* caption, MessageIcon icon);

}  // namespace ui
