#include "platform/x11/connection.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace platform::x11 {

namespace {
// xcb_connect reads the X authority file through libXau, whose file-name
// lookup keeps its result in one static buffer: two connects at once (the
// worker's and the timer's probes) would race on it.
std::mutex g_connectLock;
}  // namespace

Connection::Connection() {
    // Without DISPLAY xcb would fail anyway; saying so here keeps the
    // "no display" case free of any attempt to reach a server.
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || display[0] == '\0') return;
    int screenNumber = 0;
    {
        const std::lock_guard<std::mutex> lock(g_connectLock);
        m_conn = xcb_connect(display, &screenNumber);
    }
    if (xcb_connection_has_error(m_conn) != 0) return;
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(m_conn));
    for (int i = 0; it.rem > 0; ++i, xcb_screen_next(&it)) {
        if (i == screenNumber) {
            m_screen = it.data;
            break;
        }
    }
}

Connection::~Connection() {
    // xcb_connect always returns an object, even a failed one, and it must
    // be freed the same way.
    if (m_conn != nullptr) xcb_disconnect(m_conn);
}

uint32_t Connection::error() const {
    if (m_conn == nullptr) return XCB_CONN_CLOSED_PARSE_ERR;
    const int e = xcb_connection_has_error(m_conn);
    if (e != 0) return static_cast<uint32_t>(e);
    return m_screen == nullptr ? XCB_CONN_CLOSED_INVALID_SCREEN : 0;
}

xcb_atom_t Connection::atom(const char* name, bool onlyIfExists) const {
    if (!ok() || name == nullptr) return XCB_ATOM_NONE;
    const auto len = static_cast<uint16_t>(std::strlen(name));
    xcb_intern_atom_reply_t* reply =
        xcb_intern_atom_reply(m_conn, xcb_intern_atom(m_conn, onlyIfExists ? 1 : 0, len, name), nullptr);
    if (reply == nullptr) return XCB_ATOM_NONE;
    const xcb_atom_t a = reply->atom;
    std::free(reply);
    return a;
}

void Connection::sync() const {
    if (!ok()) return;
    std::free(xcb_get_input_focus_reply(m_conn, xcb_get_input_focus(m_conn), nullptr));
}

}  // namespace platform::x11
