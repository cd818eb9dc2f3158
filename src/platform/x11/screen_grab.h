// What is on the X display, as a PNG file: the whole screen, or the part a
// window covers as the user sees it (windows on top of it included). For
// the demo's screenshot and for tests that look at pixels of a real window.
//
// Threads: any. Blocks for one image transfer from the server.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/x11/window_mark.h"

namespace platform::x11 {

struct Image {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint32_t> pixels;  // 0xRRGGBB, row by row

    uint32_t at(uint32_t x, uint32_t y) const { return pixels[static_cast<std::size_t>(y) * width + x]; }
};

// The screen area of `window` (0: the whole screen). False, with `error`
// set, without a display, for a window that is not viewable, or for a
// screen format other than 24-bit colour in 32-bit pixels.
bool grabScreen(NativeWindow window, Image& out, std::string* error = nullptr);

// The image as an 8-bit RGB PNG file. False when it cannot be written.
bool writePng(const Image& image, const std::string& path);

}  // namespace platform::x11
