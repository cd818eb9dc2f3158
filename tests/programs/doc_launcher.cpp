// A game launcher written from docs/launcher-integration.md and the protocol
// header alone, so that the tests can show the document is all a game's
// developers need: it links nothing of the bootstrapper, only POSIX, xcb and
// include/gamelauncher/LauncherProtocol.h.
//
// What it does: takes the launcher marker, opens a marked window when DISPLAY
// names a display it can reach, serves the pipe, comes to the front on 0x80,
// quits on 0x81 and ends on SIGTERM or SIGINT, cleaning up in the document's
// order each time.
//
// Environment it reads (all optional):
//   DOC_LAUNCHER_RECORD  file it appends one line per event to (below)
//   DOC_LAUNCHER_NO_X    when set, opens no window even with a display
//
// Record lines, each "<pid> <event>[ <detail>]":
//   started                  first thing, before the marker
//   argv0 <path>             argv[0] as received
//   argc <n>                 the number of arguments after it, then one line each:
//   arg <text>               argv[1], argv[2], ... as received
//   cwd <folder>             the working folder it was started in
//   tag <text>               the first line of tag.txt beside the executable, if any
//   busy                     the marker was held by another: exits with 3
//   marker                   the marker is taken
//   window <id>              its marked window, in decimal, mapped on the server
//   serving                  the pipe listens
//   message <hex bytes>      each whole message read, header and data
//   forward                  came to the front on 0x80
//   quit                     0x81 read: cleaning up
//   signal <n>               SIGTERM or SIGINT: cleaning up
//   released                 marker released; the last line, then it exits
//
// Exit codes: 0 after a clean end, 3 when another launcher holds the marker,
// 4 when the marker, the pipe or the runtime folder cannot be used.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "gamelauncher/LauncherProtocol.h"

namespace lp = launcherprotocol;

namespace {

int g_signalPipe[2] = {-1, -1};

void onSignal(int signo) {
    const int saved = errno;
    const auto byte = static_cast<unsigned char>(signo);
    [[maybe_unused]] const ssize_t n = write(g_signalPipe[1], &byte, 1);
    errno = saved;
}

void record(const std::string& line) {
    const char* path = std::getenv("DOC_LAUNCHER_RECORD");
    if (path == nullptr || *path == '\0') return;
    const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return;
    const std::string text = std::to_string(getpid()) + " " + line + "\n";
    // One write per line with O_APPEND: lines of two launchers never mix.
    [[maybe_unused]] const ssize_t n = write(fd, text.data(), text.size());
    close(fd);
}

bool privateFolder(const std::string& path) {
    struct stat st{};
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == getuid() &&
           (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

std::string absoluteEnv(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr && v[0] == '/' ? v : "";
}

// XDG_RUNTIME_DIR when absolute (trailing '/' removed) and a private folder
// of our own; otherwise "<data>/gamelauncher-runtime", which must be one.
bool runtimeFolder(std::string& out) {
    out = absoluteEnv("XDG_RUNTIME_DIR");
    while (out.size() > 1 && out.back() == '/') out.pop_back();
    if (!out.empty() && privateFolder(out)) return true;
    std::string data = absoluteEnv("XDG_DATA_HOME");
    if (data.empty()) {
        const std::string home = absoluteEnv("HOME");
        if (home.empty()) return false;
        data = home + "/.local/share";
    }
    while (data.size() > 1 && data.back() == '/') data.pop_back();
    // Every missing parent too.
    for (std::size_t at = data.find('/', 1); at != std::string::npos; at = data.find('/', at + 1)) {
        mkdir(data.substr(0, at).c_str(), 0700);
    }
    mkdir(data.c_str(), 0700);
    out = (data == "/" ? "" : data) + "/gamelauncher-runtime";
    if (mkdir(out.c_str(), 0700) != 0 && errno != EEXIST) return false;
    return privateFolder(out);
}

// ---- The window -------------------------------------------------------------

struct Window {
    xcb_connection_t* conn = nullptr;
    xcb_window_t id = 0;
    xcb_window_t root = 0;

    xcb_atom_t atom(const char* name) const {
        xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
            conn, xcb_intern_atom(conn, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
        const xcb_atom_t a = reply != nullptr ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
        std::free(reply);
        return a;
    }

    void sync() const { std::free(xcb_get_input_focus_reply(conn, xcb_get_input_focus(conn), nullptr)); }

    bool open() {
        if (std::getenv("DOC_LAUNCHER_NO_X") != nullptr) return false;
        const char* display = std::getenv("DISPLAY");
        if (display == nullptr || *display == '\0') return false;
        int screenNumber = 0;
        conn = xcb_connect(display, &screenNumber);
        if (xcb_connection_has_error(conn) != 0) {
            xcb_disconnect(conn);
            conn = nullptr;
            return false;
        }
        xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(conn));
        for (int i = 0; i < screenNumber && it.rem > 0; ++i) xcb_screen_next(&it);
        const xcb_screen_t* screen = it.data;
        root = screen->root;
        id = xcb_generate_id(conn);
        const uint32_t values[] = {screen->white_pixel};
        xcb_create_window(conn, XCB_COPY_FROM_PARENT, id, root, 40, 40, 320, 200, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, XCB_CW_BACK_PIXEL, values);
        const char title[] = "doc launcher";
        xcb_change_property(conn, XCB_PROP_MODE_REPLACE, id, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                            sizeof title - 1, title);
        const uint32_t one = lp::kWindowMarkValue;
        xcb_change_property(conn, XCB_PROP_MODE_REPLACE, id, atom(lp::kLauncherWindowMark), XCB_ATOM_CARDINAL,
                            32, 1, &one);
        xcb_map_window(conn, id);
        sync();
        return true;
    }

    bool windowManagerRuns() const {
        const xcb_atom_t check = atom("_NET_SUPPORTING_WM_CHECK");
        xcb_get_property_reply_t* reply = xcb_get_property_reply(
            conn, xcb_get_property(conn, 0, root, check, XCB_ATOM_WINDOW, 0, 1), nullptr);
        bool runs = false;
        if (reply != nullptr && xcb_get_property_value_length(reply) >= 4) {
            uint32_t w = 0;
            std::memcpy(&w, xcb_get_property_value(reply), 4);
            runs = w != 0;
        }
        std::free(reply);
        return runs;
    }

    // Map again (restores an iconified window), then ask the window manager
    // to activate it; with none, raise and focus it ourselves.
    void comeForward() const {
        if (conn == nullptr) return;
        xcb_map_window(conn, id);
        if (windowManagerRuns()) {
            xcb_client_message_event_t ev{};
            ev.response_type = XCB_CLIENT_MESSAGE;
            ev.format = 32;
            ev.window = id;
            ev.type = atom("_NET_ACTIVE_WINDOW");
            ev.data.data32[0] = 1;  // a normal application
            ev.data.data32[1] = XCB_CURRENT_TIME;
            xcb_send_event(conn, 0, root,
                           XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                           reinterpret_cast<const char*>(&ev));
        } else {
            const uint32_t above = XCB_STACK_MODE_ABOVE;
            xcb_configure_window(conn, id, XCB_CONFIG_WINDOW_STACK_MODE, &above);
            xcb_set_input_focus(conn, XCB_INPUT_FOCUS_POINTER_ROOT, id, XCB_CURRENT_TIME);
        }
        sync();
    }

    void drainEvents() const {
        if (conn == nullptr) return;
        while (xcb_generic_event_t* ev = xcb_poll_for_event(conn)) std::free(ev);
    }

    void close() {
        if (conn == nullptr) return;
        xcb_destroy_window(conn, id);
        sync();
        xcb_disconnect(conn);
        conn = nullptr;
    }
};

// ---- The pipe ---------------------------------------------------------------

struct Pipe {
    int folder = -1;  // the runtime folder, open while serving
    int listener = -1;
    int client = -1;
    dev_t dev = 0;
    ino_t ino = 0;
    std::vector<unsigned char> pending;

    static bool somebodyAnswers(const sockaddr_un& addr) {
        const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (probe < 0) return true;
        const bool answers = connect(probe, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 ||
                             errno != ECONNREFUSED;
        ::close(probe);
        return answers;
    }

    bool listen(const std::string& runtime) {
        folder = open(runtime.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (folder < 0) return false;
        std::string path = runtime + "/" + lp::kPipeName;
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        // Too long for an address: the same file through the folder's descriptor.
        if (path.size() >= sizeof addr.sun_path) path = "/proc/self/fd/" + std::to_string(folder) + "/" + lp::kPipeName;
        if (path.size() >= sizeof addr.sun_path) return false;
        std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
        listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (listener < 0) return false;
        // The socket file's mode comes from the umask at bind: make it 0600
        // from the start rather than changing it after others could connect.
        const mode_t old = umask(0177);
        int rc = bind(listener, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
        if (rc != 0 && errno == EADDRINUSE && !somebodyAnswers(addr)) {
            unlinkat(folder, lp::kPipeName, 0);
            rc = bind(listener, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
        }
        umask(old);
        struct stat st{};
        if (rc != 0 || fchmodat(folder, lp::kPipeName, 0600, 0) != 0 ||
            fstatat(folder, lp::kPipeName, &st, AT_SYMLINK_NOFOLLOW) != 0 || ::listen(listener, 8) != 0) {
            if (rc == 0) unlinkat(folder, lp::kPipeName, 0);
            ::close(listener);
            listener = -1;
            return false;
        }
        dev = st.st_dev;
        ino = st.st_ino;
        return true;
    }

    void dropClient() {
        if (client >= 0) ::close(client);
        client = -1;
        pending.clear();
    }

    void close() {
        dropClient();
        if (listener >= 0) {
            ::close(listener);
            listener = -1;
            struct stat st{};
            if (fstatat(folder, lp::kPipeName, &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_dev == dev && st.st_ino == ino) {
                unlinkat(folder, lp::kPipeName, 0);
            }
        }
        if (folder >= 0) ::close(folder);
        folder = -1;
    }
};

std::string hex(const unsigned char* bytes, std::size_t n) {
    std::string out;
    char buf[4];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, i == 0 ? "%02x" : " %02x", bytes[i]);
        out += buf;
    }
    return out;
}

void recordStart(int argc, char** argv) {
    record("started");
    record(std::string("argv0 ") + (argc > 0 ? argv[0] : ""));
    record("argc " + std::to_string(argc - 1));
    for (int i = 1; i < argc; ++i) record(std::string("arg ") + argv[i]);
    std::vector<char> cwd(4096);
    record(std::string("cwd ") + (getcwd(cwd.data(), cwd.size()) != nullptr ? cwd.data() : "?"));
    std::vector<char> exe(4096);
    const ssize_t n = readlink("/proc/self/exe", exe.data(), exe.size() - 1);
    if (n <= 0) return;
    std::string tagPath(exe.data(), static_cast<std::size_t>(n));
    tagPath = tagPath.substr(0, tagPath.rfind('/') + 1) + "tag.txt";
    if (FILE* f = std::fopen(tagPath.c_str(), "re")) {
        char line[256] = {};
        if (std::fgets(line, sizeof line, f) != nullptr) {
            std::string tag = line;
            while (!tag.empty() && (tag.back() == '\n' || tag.back() == '\r')) tag.pop_back();
            record("tag " + tag);
        }
        std::fclose(f);
    }
}

}  // namespace

int main(int argc, char** argv) {
    recordStart(argc, argv);

    if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return 4;
    struct sigaction sa{};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    std::string runtime;
    if (!runtimeFolder(runtime)) return 4;

    // The marker first: it is what makes this launcher "running".
    const std::string lockPath = runtime + "/" + lp::kLauncherMarker + ".lock";
    const int marker = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (marker < 0) return 4;
    struct flock lock{};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(marker, F_OFD_SETLK, &lock) != 0) {
        const bool busy = errno == EAGAIN || errno == EACCES;
        close(marker);
        if (busy) record("busy");
        return busy ? 3 : 4;
    }
    record("marker");

    Window window;
    if (window.open()) record("window " + std::to_string(window.id));

    Pipe pipe;
    if (!pipe.listen(runtime)) {
        window.close();
        close(marker);
        return 4;
    }
    record("serving");

    bool running = true;
    while (running) {
        pollfd fds[3] = {};
        fds[0] = {g_signalPipe[0], POLLIN, 0};
        fds[1] = {pipe.client >= 0 ? pipe.client : pipe.listener, POLLIN, 0};
        fds[2] = {window.conn != nullptr ? xcb_get_file_descriptor(window.conn) : -1, POLLIN, 0};
        if (poll(fds, 3, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[0].revents != 0) {
            unsigned char signo = 0;
            if (read(g_signalPipe[0], &signo, 1) == 1) record("signal " + std::to_string(signo));
            break;
        }
        if (fds[2].revents != 0) window.drainEvents();
        if (fds[1].revents == 0) continue;
        if (pipe.client < 0) {
            pipe.client = accept4(pipe.listener, nullptr, nullptr, SOCK_CLOEXEC);
            continue;
        }
        unsigned char buf[4096];
        const ssize_t n = read(pipe.client, buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) {
            pipe.dropClient();
            continue;
        }
        pipe.pending.insert(pipe.pending.end(), buf, buf + n);
        // A stream keeps no boundaries: take every whole message there is.
        while (running && pipe.pending.size() >= lp::kHeaderSize) {
            lp::HeaderBytes head{};
            std::memcpy(head.data(), pipe.pending.data(), lp::kHeaderSize);
            const lp::MessageHeader h = lp::decodeHeader(head);
            if (h.length > lp::kMaxData) {
                pipe.dropClient();
                break;
            }
            const std::size_t whole = lp::kHeaderSize + h.length;
            if (pipe.pending.size() < whole) break;
            record("message " + hex(pipe.pending.data(), whole));
            pipe.pending.erase(pipe.pending.begin(), pipe.pending.begin() + static_cast<std::ptrdiff_t>(whole));
            if (h.id == lp::kMsgComeForward) {
                window.comeForward();
                record("forward");
            } else if (h.id == lp::kMsgQuit) {
                record("quit");
                running = false;
            }
        }
    }

    // Pipe, then window, then the marker: whoever sees the marker free finds
    // nothing of this launcher left.
    pipe.close();
    window.close();
    close(marker);
    record("released");
    close(g_signalPipe[0]);
    close(g_signalPipe[1]);
    return 0;
}
