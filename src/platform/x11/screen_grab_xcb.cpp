#include "platform/x11/screen_grab.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/x11/connection.h"

namespace platform::x11 {

namespace {

void fail(std::string* error, const char* why) {
    if (error != nullptr) *error = why;
}

void put32(std::string& s, uint32_t v) {
    const char b[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                       static_cast<char>(v)};
    s.append(b, 4);
}

void chunk(std::string& png, const char* type, const std::string& data) {
    put32(png, static_cast<uint32_t>(data.size()));
    std::string body(type, 4);
    body += data;
    png += body;
    put32(png, static_cast<uint32_t>(
                   crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size()))));
}

}  // namespace

bool grabScreen(NativeWindow window, Image& out, std::string* error) {
    Connection c;
    if (!c.ok()) {
        fail(error, "no X display");
        return false;
    }
    const xcb_screen_t* s = c.screen();
    int32_t x = 0, y = 0;
    uint32_t w = s->width_in_pixels, h = s->height_in_pixels;
    if (window != 0) {
        const auto win = static_cast<xcb_window_t>(window);
        xcb_get_window_attributes_reply_t* attrs =
            xcb_get_window_attributes_reply(c.get(), xcb_get_window_attributes(c.get(), win), nullptr);
        const bool viewable = attrs != nullptr && attrs->map_state == XCB_MAP_STATE_VIEWABLE;
        std::free(attrs);
        xcb_get_geometry_reply_t* geo = xcb_get_geometry_reply(c.get(), xcb_get_geometry(c.get(), win), nullptr);
        xcb_translate_coordinates_reply_t* pos = xcb_translate_coordinates_reply(
            c.get(), xcb_translate_coordinates(c.get(), win, c.root(), 0, 0), nullptr);
        if (viewable && geo != nullptr && pos != nullptr) {
            x = pos->dst_x;
            y = pos->dst_y;
            w = geo->width;
            h = geo->height;
        }
        std::free(geo);
        std::free(pos);
        if (!viewable) {
            fail(error, "window not viewable");
            return false;
        }
    }
    // What lies outside the screen has no pixels to grab.
    const int32_t x0 = x < 0 ? 0 : x, y0 = y < 0 ? 0 : y;
    const int32_t x1 = std::min<int32_t>(x + static_cast<int32_t>(w), s->width_in_pixels);
    const int32_t y1 = std::min<int32_t>(y + static_cast<int32_t>(h), s->height_in_pixels);
    if (x1 <= x0 || y1 <= y0) {
        fail(error, "window off screen");
        return false;
    }
    const auto gw = static_cast<uint16_t>(x1 - x0), gh = static_cast<uint16_t>(y1 - y0);
    xcb_get_image_reply_t* img = xcb_get_image_reply(
        c.get(),
        xcb_get_image(c.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, c.root(), static_cast<int16_t>(x0), static_cast<int16_t>(y0),
                      gw, gh, ~0u),
        nullptr);
    if (img == nullptr) {
        fail(error, "GetImage refused");
        return false;
    }
    const std::size_t need = static_cast<std::size_t>(gw) * gh * 4;
    const bool fits = img->depth >= 24 && static_cast<std::size_t>(xcb_get_image_data_length(img)) >= need &&
                      xcb_get_setup(c.get())->image_byte_order == XCB_IMAGE_ORDER_LSB_FIRST;
    if (!fits) {
        std::free(img);
        fail(error, "screen format is not 24-bit colour in 32-bit pixels");
        return false;
    }
    out.width = gw;
    out.height = gh;
    out.pixels.resize(static_cast<std::size_t>(gw) * gh);
    const uint8_t* data = xcb_get_image_data(img);
    for (std::size_t i = 0; i < out.pixels.size(); ++i) {
        uint32_t v;
        std::memcpy(&v, data + i * 4, 4);
        out.pixels[i] = v & 0xFFFFFFu;
    }
    std::free(img);
    return true;
}

bool writePng(const Image& image, const std::string& path) {
    if (image.width == 0 || image.height == 0) return false;
    std::string raw;
    raw.reserve((static_cast<std::size_t>(image.width) * 3 + 1) * image.height);
    for (uint32_t y = 0; y < image.height; ++y) {
        raw.push_back('\0');  // filter type "none"
        for (uint32_t x = 0; x < image.width; ++x) {
            const uint32_t p = image.at(x, y);
            raw.push_back(static_cast<char>(p >> 16));
            raw.push_back(static_cast<char>(p >> 8));
            raw.push_back(static_cast<char>(p));
        }
    }
    uLongf packedLen = compressBound(static_cast<uLong>(raw.size()));
    std::string packed(packedLen, '\0');
    if (compress2(reinterpret_cast<Bytef*>(packed.data()), &packedLen, reinterpret_cast<const Bytef*>(raw.data()),
                  static_cast<uLong>(raw.size()), 6) != Z_OK) {
        return false;
    }
    packed.resize(packedLen);

    std::string png("\x89PNG\r\n\x1a\n", 8);
    std::string ihdr;
    put32(ihdr, image.width);
    put32(ihdr, image.height);
    ihdr += std::string("\x08\x02\x00\x00\x00", 5);  // 8 bits, RGB, deflate, no filter set, no interlace
    chunk(png, "IHDR", ihdr);
    chunk(png, "IDAT", packed);
    chunk(png, "IEND", "");

    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(png.data(), 1, png.size(), f) == png.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace platform::x11
