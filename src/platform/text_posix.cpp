#include "platform/text.h"

#include <cstdint>

namespace platform {

namespace {

void appendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Decodes one UTF-8 sequence at `s[i]`. Returns its length (>= 1) and the code
// point, or length 1 with `ok` false for any malformed, overlong, surrogate or
// out-of-range sequence, so that a bad byte is replaced and decoding resumes
// right after it.
std::size_t decodeOne(std::string_view s, std::size_t i, char32_t& cp, bool& ok) {
    const auto b0 = static_cast<uint8_t>(s[i]);
    ok = false;
    cp = 0;
    std::size_t len;
    char32_t min;
    if (b0 < 0x80) {
        cp = b0;
        ok = true;
        return 1;
    } else if ((b0 & 0xE0) == 0xC0) {
        len = 2; cp = b0 & 0x1F; min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        len = 3; cp = b0 & 0x0F; min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        len = 4; cp = b0 & 0x07; min = 0x10000;
    } else {
        return 1;
    }
    if (i + len > s.size()) return 1;
    for (std::size_t k = 1; k < len; ++k) {
        const auto b = static_cast<uint8_t>(s[i + k]);
        if ((b & 0xC0) != 0x80) return 1;
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 1;
    ok = true;
    return len;
}

}  // namespace

std::string wideToUtf8(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t wc : text) {
        const auto cp = static_cast<char32_t>(static_cast<std::make_unsigned_t<wchar_t>>(wc));
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            out.push_back('?');
        } else {
            appendUtf8(out, cp);
        }
    }
    return out;
}

std::wstring utf8ToWide(std::string_view text) {
    std::wstring out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        char32_t cp;
        bool ok;
        i += decodeOne(text, i, cp, ok);
        out.push_back(ok ? static_cast<wchar_t>(cp) : L'\uFFFD');
    }
    return out;
}

std::string wideToAnsi(std::wstring_view text) { return wideToUtf8(text); }

std::wstring ansiToWide(std::string_view text) { return utf8ToWide(text); }

}  // namespace platform
