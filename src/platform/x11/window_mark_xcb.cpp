#include "platform/x11/window_mark.h"

#include <poll.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/debug_output.h"
#include "platform/x11/connection.h"

namespace platform::x11 {

namespace {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter>;

// The ICCCM WM_STATE value of an iconified window.
constexpr uint32_t kIconicState = 3;
// EWMH source indication: the request comes from an ordinary application.
constexpr uint32_t kSourceApplication = 1;
// Real desktops nest a handful of levels; a deeper tree is not walked
// further rather than risking the stack on a hostile one.
constexpr int kMaxDepth = 64;

// A mark counts when its property is present and its value is not all zero.
bool isNonNull(const xcb_get_property_reply_t* reply) {
    if (reply == nullptr || reply->type == XCB_ATOM_NONE) return false;
    const int len = xcb_get_property_value_length(reply);
    const auto* bytes = static_cast<const unsigned char*>(xcb_get_property_value(reply));
    for (int i = 0; i < len; ++i) {
        if (bytes[i] != 0) return true;
    }
    return false;
}

Reply<xcb_get_property_reply_t> readProperty(const Connection& c, xcb_window_t w, xcb_atom_t property,
                                             uint32_t longs = 1) {
    return Reply<xcb_get_property_reply_t>(xcb_get_property_reply(
        c.get(), xcb_get_property(c.get(), 0, w, property, XCB_GET_PROPERTY_TYPE_ANY, 0, longs), nullptr));
}

struct Found {
    xcb_window_t window = XCB_WINDOW_NONE;
    xcb_window_t topLevel = XCB_WINDOW_NONE;  // its ancestor right below the root
};

// Depth first, each window before its children, siblings from the top of
// the stack down, so that of several marked windows the top-most wins. The
// property reads of one set of siblings go out together, so a level costs
// one round trip rather than one per window.
bool walk(const Connection& c, xcb_atom_t mark, xcb_window_t parent, xcb_window_t topLevel, int depth, Found& out) {
    if (depth > kMaxDepth) return false;
    Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c.get(), xcb_query_tree(c.get(), parent), nullptr));
    if (!tree) return false;  // the window went away during the walk
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    const int n = xcb_query_tree_children_length(tree.get());
    std::vector<xcb_get_property_cookie_t> cookies;
    cookies.reserve(static_cast<std::size_t>(n));
    for (int i = n - 1; i >= 0; --i) {
        cookies.push_back(xcb_get_property(c.get(), 0, children[i], mark, XCB_GET_PROPERTY_TYPE_ANY, 0, 1));
    }
    bool found = false;
    std::size_t k = 0;
    for (int i = n - 1; i >= 0 && !found; --i, ++k) {
        Reply<xcb_get_property_reply_t> prop(xcb_get_property_reply(c.get(), cookies[k], nullptr));
        const xcb_window_t top = depth == 0 ? children[i] : topLevel;
        if (isNonNull(prop.get())) {
            out.window = children[i];
            out.topLevel = top;
            found = true;
        } else {
            found = walk(c, mark, children[i], top, depth + 1, out);
        }
    }
    // The loop stops one past the found window; what is left unread must
    // still be collected, or xcb keeps the replies forever.
    for (; k < cookies.size(); ++k) xcb_discard_reply(c.get(), cookies[k].sequence);
    return found;
}

bool findIn(const Connection& c, const char* name, Found& out) {
    // A name no client has ever interned cannot be on any window.
    const xcb_atom_t mark = c.atom(name, true);
    if (mark == XCB_ATOM_NONE) return false;
    return walk(c, mark, c.root(), XCB_WINDOW_NONE, 0, out);
}

bool isIconic(const Connection& c, xcb_window_t w) {
    const xcb_atom_t wmState = c.atom("WM_STATE", true);
    if (wmState != XCB_ATOM_NONE) {
        auto state = readProperty(c, w, wmState);
        if (state && state->format == 32 && xcb_get_property_value_length(state.get()) >= 4 &&
            *static_cast<const uint32_t*>(xcb_get_property_value(state.get())) == kIconicState) {
            return true;
        }
    }
    const xcb_atom_t netState = c.atom("_NET_WM_STATE", true);
    const xcb_atom_t hidden = c.atom("_NET_WM_STATE_HIDDEN", true);
    if (netState == XCB_ATOM_NONE || hidden == XCB_ATOM_NONE) return false;
    auto states = readProperty(c, w, netState, 32);
    if (!states || states->format != 32) return false;
    const auto* atoms = static_cast<const xcb_atom_t*>(xcb_get_property_value(states.get()));
    const int count = xcb_get_property_value_length(states.get()) / 4;
    for (int i = 0; i < count; ++i) {
        if (atoms[i] == hidden) return true;
    }
    return false;
}

// An EWMH window manager announces itself on the root window.
bool windowManagerRuns(const Connection& c) {
    const xcb_atom_t check = c.atom("_NET_SUPPORTING_WM_CHECK", true);
    if (check == XCB_ATOM_NONE) return false;
    auto prop = readProperty(c, c.root(), check);
    return isNonNull(prop.get());
}

}  // namespace

bool setMark(NativeWindow window, const char* name, uint32_t* errorCode) {
    Connection c;
    const xcb_atom_t mark = c.atom(name);
    if (mark == XCB_ATOM_NONE) {
        if (errorCode != nullptr) *errorCode = c.ok() ? 0 : c.error();
        return false;
    }
    const uint32_t one = launcherprotocol::kWindowMarkValue;
    Reply<xcb_generic_error_t> err(xcb_request_check(
        c.get(), xcb_change_property_checked(c.get(), XCB_PROP_MODE_REPLACE, static_cast<xcb_window_t>(window), mark,
                                             XCB_ATOM_CARDINAL, 32, 1, &one)));
    if (err) {
        if (errorCode != nullptr) *errorCode = err->error_code;
        return false;
    }
    return true;
}

bool SetWindowMark(NativeWindow window) {
    uint32_t code = 0;
    if (setMark(window, launcherprotocol::kBootstrapperWindowMark, &code)) return true;
    platform::debugOutput("SetProp failed ErrCode:");
    platform::debugOutput(std::to_string(code).c_str());
    platform::debugOutput("\n");
    return false;
}

bool hasMark(NativeWindow window, const char* name) {
    Connection c;
    const xcb_atom_t mark = c.atom(name, true);
    if (mark == XCB_ATOM_NONE) return false;
    auto prop = readProperty(c, static_cast<xcb_window_t>(window), mark);
    return isNonNull(prop.get());
}

NativeWindow findMarkedWindow(const char* name) {
    Connection c;
    Found found;
    if (!c.ok() || !findIn(c, name, found)) return 0;
    return found.window;
}

xcb_window_t waitForWindow(const Connection& c, xcb_atom_t watched,
                          const std::function<bool(xcb_window_t)>& matches, int timeoutMs) {
    if (!c.ok()) return XCB_WINDOW_NONE;
    // Listen before looking, so that a window that turns up in between is
    // not missed: new top-level windows announce themselves on the root,
    // and each is then watched for the property and for children.
    const uint32_t rootMask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(c.get(), c.root(), XCB_CW_EVENT_MASK, &rootMask);
    // Windows that exist already may get the property later (a toolkit
    // marks its window after showing it).
    const uint32_t propertyMask = XCB_EVENT_MASK_PROPERTY_CHANGE | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c.get(), xcb_query_tree(c.get(), c.root()), nullptr));
    if (tree) {
        const xcb_window_t* children = xcb_query_tree_children(tree.get());
        for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
            xcb_change_window_attributes(c.get(), children[i], XCB_CW_EVENT_MASK, &propertyMask);
        }
    }
    c.sync();
    if (matches(c.root())) return c.root();

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        Reply<xcb_generic_event_t> event(xcb_poll_for_event(c.get()));
        if (!event) {
            if (xcb_connection_has_error(c.get()) != 0) return XCB_WINDOW_NONE;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0) return XCB_WINDOW_NONE;
            pollfd p{xcb_get_file_descriptor(c.get()), POLLIN, 0};
            ::poll(&p, 1, static_cast<int>(left));
            continue;
        }
        xcb_window_t candidate = XCB_WINDOW_NONE;
        switch (event->response_type & 0x7f) {
            case XCB_CREATE_NOTIFY: {
                const auto* e = reinterpret_cast<const xcb_create_notify_event_t*>(event.get());
                xcb_change_window_attributes(c.get(), e->window, XCB_CW_EVENT_MASK, &propertyMask);
                c.sync();
                candidate = e->window;
                break;
            }
            case XCB_PROPERTY_NOTIFY: {
                const auto* e = reinterpret_cast<const xcb_property_notify_event_t*>(event.get());
                if (e->atom == watched && e->state == XCB_PROPERTY_NEW_VALUE) candidate = e->window;
                break;
            }
            default:
                break;
        }
        if (candidate != XCB_WINDOW_NONE && matches(candidate)) return candidate;
    }
}

NativeWindow waitForMarkedWindow(const char* name, int timeoutMs) {
    Connection c;
    const xcb_atom_t mark = c.atom(name);
    if (mark == XCB_ATOM_NONE) return 0;
    xcb_window_t hit = XCB_WINDOW_NONE;
    // The window itself or, as toolkits may mark a child of the window they
    // create, anything below it (for the root: the whole tree).
    const auto matches = [&](xcb_window_t w) {
        if (w != c.root()) {
            auto prop = readProperty(c, w, mark);
            if (isNonNull(prop.get())) {
                hit = w;
                return true;
            }
        }
        Found below;
        if (!walk(c, mark, w, w, w == c.root() ? 0 : 1, below)) return false;
        hit = below.window;
        return true;
    };
    return waitForWindow(c, mark, matches, timeoutMs) != XCB_WINDOW_NONE ? hit : 0;
}

NativeWindow waitForWindowNamed(const char* utf8Name, int timeoutMs) {
    Connection c;
    const xcb_atom_t netName = c.atom("_NET_WM_NAME");
    if (netName == XCB_ATOM_NONE || utf8Name == nullptr) return 0;
    const std::string wanted = utf8Name;
    const auto named = [&](xcb_window_t w) {
        for (const xcb_atom_t property : {netName, static_cast<xcb_atom_t>(XCB_ATOM_WM_NAME)}) {
            auto prop = readProperty(c, w, property, 256);
            if (prop && prop->format == 8 &&
                std::string(static_cast<const char*>(xcb_get_property_value(prop.get())),
                            static_cast<std::size_t>(xcb_get_property_value_length(prop.get()))) == wanted) {
                return true;
            }
        }
        return false;
    };
    xcb_window_t hit = XCB_WINDOW_NONE;
    // Top-level windows only: that is where toolkits put the title.
    const auto matches = [&](xcb_window_t w) {
        if (w != c.root()) {
            if (named(w)) hit = w;
            return hit != XCB_WINDOW_NONE;
        }
        Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c.get(), xcb_query_tree(c.get(), w), nullptr));
        if (!tree) return false;
        const xcb_window_t* children = xcb_query_tree_children(tree.get());
        for (int i = xcb_query_tree_children_length(tree.get()) - 1; i >= 0; --i) {
            if (named(children[i])) {
                hit = children[i];
                return true;
            }
        }
        return false;
    };
    // A title set later changes _NET_WM_NAME; that is the property watched.
    return waitForWindow(c, netName, matches, timeoutMs) != XCB_WINDOW_NONE ? hit : 0;
}

NativeWindow transientOwner(NativeWindow window) {
    Connection c;
    if (!c.ok()) return 0;
    auto prop = readProperty(c, static_cast<xcb_window_t>(window), XCB_ATOM_WM_TRANSIENT_FOR);
    if (!prop || prop->format != 32 || xcb_get_property_value_length(prop.get()) < 4) return 0;
    return *static_cast<const xcb_window_t*>(xcb_get_property_value(prop.get()));
}

bool askToClose(NativeWindow window) {
    Connection c;
    const xcb_atom_t protocols = c.atom("WM_PROTOCOLS");
    const xcb_atom_t deleteWindow = c.atom("WM_DELETE_WINDOW");
    if (protocols == XCB_ATOM_NONE || deleteWindow == XCB_ATOM_NONE) return false;
    // What a window manager sends when the user closes a window.
    xcb_client_message_event_t msg{};
    msg.response_type = XCB_CLIENT_MESSAGE;
    msg.format = 32;
    msg.window = static_cast<xcb_window_t>(window);
    msg.type = protocols;
    msg.data.data32[0] = deleteWindow;
    msg.data.data32[1] = XCB_CURRENT_TIME;
    xcb_send_event(c.get(), 0, msg.window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&msg));
    c.sync();
    return true;
}

BringForwardResult bringMarkedWindowForward(const char* name) {
    Connection c;
    if (!c.ok()) return BringForwardResult::NoDisplay;
    Found found;
    if (!findIn(c, name, found)) return BringForwardResult::NotFound;
    if (isIconic(c, found.window)) return BringForwardResult::Minimised;

    xcb_client_message_event_t msg{};
    msg.response_type = XCB_CLIENT_MESSAGE;
    msg.format = 32;
    msg.window = found.window;
    msg.type = c.atom("_NET_ACTIVE_WINDOW");
    msg.data.data32[0] = kSourceApplication;
    msg.data.data32[1] = XCB_CURRENT_TIME;
    if (msg.type != XCB_ATOM_NONE) {
        xcb_send_event(c.get(), 0, c.root(),
                       XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                       reinterpret_cast<const char*>(&msg));
    }
    // Nobody acts on the request without a window manager (a bare X
    // server, a kiosk session): then bringing forward is ours to do.
    if (!windowManagerRuns(c)) {
        const uint32_t above = XCB_STACK_MODE_ABOVE;
        xcb_configure_window(c.get(), found.topLevel, XCB_CONFIG_WINDOW_STACK_MODE, &above);
        Reply<xcb_get_window_attributes_reply_t> attrs(xcb_get_window_attributes_reply(
            c.get(), xcb_get_window_attributes(c.get(), found.window), nullptr));
        // Focus on a window that is not viewable is a BadMatch error.
        if (attrs && attrs->map_state == XCB_MAP_STATE_VIEWABLE) {
            xcb_set_input_focus(c.get(), XCB_INPUT_FOCUS_PARENT, found.window, XCB_CURRENT_TIME);
        }
    }
    c.sync();
    return BringForwardResult::Activated;
}

}  // namespace platform::x11
