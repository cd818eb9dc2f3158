// Saves what the user sees of a marked window as a PNG: waits for the first
// window on $DISPLAY that carries the mark (the bootstrapper's own
// window mark by default), optionally lets `--delay-ms` pass, and
// grabs the screen area the window covers (or the whole screen).
//
//   window-shot --out FILE.png [--mark NAME | --title TEXT] [--timeout-ms N] [--delay-ms N] [--screen]
//
// --title finds the top-level window of that title (UTF-8) instead: a
// window whose marks are not X properties (a window of the Windows build under
// Wine) is found by its title.
//
// Prints the window id and the file on success; exit code 1 when no such
// window appeared in time, 2 for bad arguments, 3 when the grab failed.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/x11/marked_window.h"
#include "platform/x11/screen_grab.h"
#include "platform/x11/window_mark.h"

int main(int argc, char** argv) {
    std::string out, mark = launcherprotocol::kBootstrapperWindowMark, title;
    int timeoutMs = 30000, delayMs = 0;
    bool screen = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--out" && hasValue) {
            out = argv[++i];
        } else if (a == "--mark" && hasValue) {
            mark = argv[++i];
        } else if (a == "--title" && hasValue) {
            title = argv[++i];
        } else if (a == "--timeout-ms" && hasValue) {
            timeoutMs = std::atoi(argv[++i]);
        } else if (a == "--delay-ms" && hasValue) {
            delayMs = std::atoi(argv[++i]);
        } else if (a == "--screen") {
            screen = true;
        } else {
            std::fprintf(stderr, "usage: window-shot --out FILE.png [--mark NAME | --title TEXT] [--timeout-ms N] [--delay-ms N] [--screen]\n");
            return 2;
        }
    }
    if (out.empty()) {
        std::fprintf(stderr, "window-shot: --out is required\n");
        return 2;
    }
    const platform::x11::NativeWindow window = title.empty()
                                                   ? platform::x11::waitForMarkedWindow(mark.c_str(), timeoutMs)
                                                   : platform::x11::waitForWindowNamed(title.c_str(), timeoutMs);
    if (window == 0) {
        std::fprintf(stderr, "window-shot: no window %s %s within %d ms\n", title.empty() ? "carrying" : "titled",
                     title.empty() ? mark.c_str() : title.c_str(), timeoutMs);
        return 1;
    }
    if (!title.empty() && !platform::x11::waitUntilViewable(window, timeoutMs)) {
        std::fprintf(stderr, "window-shot: the window titled %s never showed\n", title.c_str());
        return 1;
    }
    if (delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    platform::x11::Image image;
    std::string why;
    if (!platform::x11::grabScreen(screen ? 0 : window, image, &why) || !platform::x11::writePng(image, out)) {
        std::fprintf(stderr, "window-shot: %s\n", why.empty() ? "cannot write the file" : why.c_str());
        return 3;
    }
    std::printf("window 0x%lx: %ux%u -> %s\n", static_cast<unsigned long>(window), image.width, image.height,
                out.c_str());
    return 0;
}
