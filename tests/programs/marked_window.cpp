// A stand-in for another program's window on the X display, for the tests:
// opens a plain window (by default carrying the game launcher's window
// mark), prints its window id in decimal on a line of its own
// and keeps it until standard input ends. Commands on standard input, one a
// line, each answered with "ok" or "failed": "iconify", "raise".
//
//   marked-window [--no-mark] [--mark NAME] [--title T] [--rgb RRGGBB] [--at X,Y] [--size W,H]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "platform/x11/marked_window.h"

int main(int argc, char** argv) {
    platform::x11::MarkedWindow::Options o;
    std::string mark = o.mark;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* next = i + 1 < argc ? argv[i + 1] : "";
        if (a == "--no-mark") {
            mark.clear();
        } else if (a == "--mark") {
            mark = next;
            ++i;
        } else if (a == "--title") {
            o.title = next;
            ++i;
        } else if (a == "--rgb") {
            o.rgb = static_cast<uint32_t>(std::strtoul(next, nullptr, 16));
            ++i;
        } else if (a == "--at" || a == "--size") {
            int p = 0, q = 0;
            if (std::sscanf(next, "%d,%d", &p, &q) != 2) return 2;
            if (a == "--at") {
                o.x = static_cast<int16_t>(p);
                o.y = static_cast<int16_t>(q);
            } else {
                o.width = static_cast<uint16_t>(p);
                o.height = static_cast<uint16_t>(q);
            }
            ++i;
        } else {
            std::fprintf(stderr, "unknown argument %s\n", a.c_str());
            return 2;
        }
    }
    o.mark = mark.empty() ? nullptr : mark.c_str();
    platform::x11::MarkedWindow window;
    if (!window.open(o)) {
        std::fprintf(stderr, "no X display\n");
        return 1;
    }
    std::cout << window.id() << std::endl;
    std::string line;
    while (std::getline(std::cin, line)) {
        bool ok = false;
        if (line == "iconify") ok = window.iconify();
        if (line == "raise") ok = window.raise();
        std::cout << (ok ? "ok" : "failed") << std::endl;
    }
    return 0;
}
