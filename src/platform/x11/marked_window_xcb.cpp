#include "platform/x11/marked_window.h"

#include <poll.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

#include "platform/x11/connection.h"

namespace platform::x11 {

namespace {
constexpr uint32_t kIconicState = 3;
}

MarkedWindow::MarkedWindow() = default;

MarkedWindow::~MarkedWindow() { close(); }

bool MarkedWindow::open(const Options& o) {
    if (m_window != 0) return false;
    auto conn = std::make_unique<Connection>();
    if (!conn->ok()) return false;
    xcb_connection_t* c = conn->get();
    const xcb_window_t w = xcb_generate_id(c);
    // A TrueColor 24/32-bit root visual takes 0xRRGGBB as the pixel value;
    // that is every X server this runs on (Xvfb and desktops alike).
    const uint32_t values[] = {o.rgb, XCB_EVENT_MASK_STRUCTURE_NOTIFY};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, w, conn->root(), o.x, o.y, o.width, o.height, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, conn->screen()->root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, values);
    if (o.title != nullptr) {
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                            static_cast<uint32_t>(std::strlen(o.title)), o.title);
    }
    if (o.mark != nullptr) {
        const xcb_atom_t mark = conn->atom(o.mark);
        const uint32_t one = launcherprotocol::kWindowMarkValue;
        if (mark != XCB_ATOM_NONE) {
            xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, mark, XCB_ATOM_CARDINAL, 32, 1, &one);
        }
    }
    xcb_map_window(c, w);
    conn->sync();
    m_conn = std::move(conn);
    m_window = w;
    return true;
}

void MarkedWindow::close() {
    if (m_window == 0) return;
    xcb_destroy_window(m_conn->get(), m_window);
    m_conn->sync();
    m_window = 0;
    m_conn.reset();
}

bool MarkedWindow::iconify() {
    if (m_window == 0) return false;
    xcb_connection_t* c = m_conn->get();
    const xcb_atom_t change = m_conn->atom("WM_CHANGE_STATE");
    xcb_client_message_event_t msg{};
    msg.response_type = XCB_CLIENT_MESSAGE;
    msg.format = 32;
    msg.window = m_window;
    msg.type = change;
    msg.data.data32[0] = kIconicState;
    xcb_send_event(c, 0, m_conn->root(), XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&msg));
    const xcb_atom_t check = m_conn->atom("_NET_SUPPORTING_WM_CHECK", true);
    bool wm = false;
    if (check != XCB_ATOM_NONE) {
        xcb_get_property_reply_t* r = xcb_get_property_reply(
            c, xcb_get_property(c, 0, m_conn->root(), check, XCB_ATOM_WINDOW, 0, 1), nullptr);
        wm = r != nullptr && xcb_get_property_value_length(r) >= 4;
        std::free(r);
    }
    if (!wm) {
        const xcb_atom_t wmState = m_conn->atom("WM_STATE");
        const uint32_t state[2] = {kIconicState, XCB_WINDOW_NONE};
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, m_window, wmState, wmState, 32, 2, state);
        xcb_unmap_window(c, m_window);
    }
    m_conn->sync();
    return true;
}

bool MarkedWindow::raise() {
    if (m_window == 0) return false;
    const uint32_t above = XCB_STACK_MODE_ABOVE;
    xcb_configure_window(m_conn->get(), m_window, XCB_CONFIG_WINDOW_STACK_MODE, &above);
    m_conn->sync();
    return true;
}

std::vector<NativeWindow> stackingOrder() {
    std::vector<NativeWindow> order;
    Connection c;
    if (!c.ok()) return order;
    xcb_query_tree_reply_t* tree = xcb_query_tree_reply(c.get(), xcb_query_tree(c.get(), c.root()), nullptr);
    if (tree == nullptr) return order;
    const xcb_window_t* children = xcb_query_tree_children(tree);
    order.assign(children, children + xcb_query_tree_children_length(tree));
    std::free(tree);
    return order;
}

bool isViewable(NativeWindow window) {
    Connection c;
    if (!c.ok()) return false;
    xcb_get_window_attributes_reply_t* a = xcb_get_window_attributes_reply(
        c.get(), xcb_get_window_attributes(c.get(), static_cast<xcb_window_t>(window)), nullptr);
    const bool viewable = a != nullptr && a->map_state == XCB_MAP_STATE_VIEWABLE;
    std::free(a);
    return viewable;
}

NativeWindow inputFocus() {
    Connection c;
    if (!c.ok()) return 0;
    xcb_get_input_focus_reply_t* r = xcb_get_input_focus_reply(c.get(), xcb_get_input_focus(c.get()), nullptr);
    const NativeWindow focus = r != nullptr ? r->focus : 0;
    std::free(r);
    return focus;
}

NativeWindow rootWindow() {
    Connection c;
    return c.ok() ? c.root() : 0;
}

bool waitUntilViewable(NativeWindow window, int timeoutMs) {
    Connection c;
    if (!c.ok()) return false;
    const auto w = static_cast<xcb_window_t>(window);
    // Listen first, then look: a map in between is not missed.
    const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_void_cookie_t cookie = xcb_change_window_attributes_checked(c.get(), w, XCB_CW_EVENT_MASK, &mask);
    if (xcb_generic_error_t* e = xcb_request_check(c.get(), cookie)) {
        std::free(e);
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        xcb_get_window_attributes_reply_t* a =
            xcb_get_window_attributes_reply(c.get(), xcb_get_window_attributes(c.get(), w), nullptr);
        if (a == nullptr) return false;
        const bool viewable = a->map_state == XCB_MAP_STATE_VIEWABLE;
        std::free(a);
        if (viewable) return true;
        // Any event of the window (map, configure, destroy) is a reason to
        // look again.
        for (;;) {
            xcb_generic_event_t* event = xcb_poll_for_event(c.get());
            if (event != nullptr) {
                std::free(event);
                break;
            }
            if (xcb_connection_has_error(c.get()) != 0) return false;
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                    .count();
            if (left <= 0) return false;
            pollfd p{xcb_get_file_descriptor(c.get()), POLLIN, 0};
            ::poll(&p, 1, static_cast<int>(left));
        }
    }
}

}  // namespace platform::x11
