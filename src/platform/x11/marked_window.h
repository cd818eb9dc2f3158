// A small plain window on the X display that carries a mark: the game
// launcher's window as this program looks for it (its window mark), for
// the sample launcher and the tests. The window lasts as long as the object
// (its own connection holds it); it needs no event loop, the X server draws
// its background colour.
//
// Threads: one object is used by one thread at a time. Nothing blocks
// beyond a round trip to the server.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/x11/window_mark.h"

namespace platform::x11 {

class Connection;

class MarkedWindow {
public:
    MarkedWindow();
    ~MarkedWindow();
    MarkedWindow(const MarkedWindow&) = delete;
    MarkedWindow& operator=(const MarkedWindow&) = delete;

    struct Options {
        const char* mark = launcherprotocol::kLauncherWindowMark;  // null: no mark
        const char* title = "launcher";
        int16_t x = 0, y = 0;
        uint16_t width = 320, height = 200;
        uint32_t rgb = 0x2a5d8c;  // background colour
    };
    // Opens and maps the window; returns once the server shows it. False
    // without a display (or when already open).
    bool open(const Options& options);
    bool open() { return open(Options{}); }
    // Destroys the window; nothing when not open.
    void close();

    NativeWindow id() const { return m_window; }

    // Iconifies the window as a client asks for it (ICCCM WM_CHANGE_STATE);
    // without a window manager to act on that, does what one would do: the
    // WM_STATE property says iconic and the window is unmapped.
    bool iconify();
    // Puts the window on top of the stack.
    bool raise();

private:
    std::unique_ptr<Connection> m_conn;
    uint32_t m_window = 0;
};

// Bottom-to-top order of the windows right below the root (what
// xcb_query_tree reports); empty without a display. For the tests.
std::vector<NativeWindow> stackingOrder();

// Whether `window` is mapped and viewable.
bool isViewable(NativeWindow window);

// The window that has the input focus; 0 for none or without a display.
NativeWindow inputFocus();

// Waits until a top-level window titled `utf8Name` (_NET_WM_NAME or
// WM_NAME) exists and returns it; 0 after `timeoutMs` or without a display.
NativeWindow waitForWindowNamed(const char* utf8Name, int timeoutMs);

// Waits until `window` is viewable (mapped, and its parents too); false
// after `timeoutMs`, when it went away, or without a display.
bool waitUntilViewable(NativeWindow window, int timeoutMs);

// The root window of the display's default screen; 0 without a display.
NativeWindow rootWindow();

// The window `window` is a transient of (its owner), 0 for none.
NativeWindow transientOwner(NativeWindow window);

// Asks the window's program to close it, as a window manager does when the
// user closes it (WM_DELETE_WINDOW).
bool askToClose(NativeWindow window);

}  // namespace platform::x11
