// One short-lived connection to the X display of $DISPLAY and the few
// helpers the marks, the marked window and the screen grab share.
// Internal to src/platform/x11/.
#pragma once

#include <xcb/xcb.h>

#include <cstdint>
#include <string>

namespace platform::x11 {

class Connection {
public:
    Connection();
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // False when $DISPLAY names no reachable server; error() says why.
    bool ok() const { return m_screen != nullptr; }
    // xcb's connection error (1..7), or 0.
    uint32_t error() const;
    xcb_connection_t* get() const { return m_conn; }
    xcb_window_t root() const { return m_screen->root; }
    const xcb_screen_t* screen() const { return m_screen; }

    // The atom `name`; XCB_ATOM_NONE when it cannot be had, or, with
    // `onlyIfExists`, when no client ever used the name.
    xcb_atom_t atom(const char* name, bool onlyIfExists = false) const;

    // Waits until the server has processed every request sent so far.
    void sync() const;

private:
    xcb_connection_t* m_conn = nullptr;
    const xcb_screen_t* m_screen = nullptr;
};

}  // namespace platform::x11
