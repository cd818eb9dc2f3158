// The build takes this file on Windows only; the guard keeps it empty where a
// folder-wide source list also hands it to another system's compiler.
#ifdef _WIN32

#include <windows.h>

#include "platform/text.h"

namespace platform {

namespace {

// The system's conversions take an int length; texts longer than that are
// converted in pieces that end where no character is cut.
constexpr std::size_t kPiece = std::size_t{1} << 28;

std::string narrowFrom(UINT codePage, DWORD flags, std::wstring_view text) {
    std::string out;
    while (!text.empty()) {
        std::size_t n = text.size() < kPiece ? text.size() : kPiece;
        if (n < text.size() && IS_HIGH_SURROGATE(text[n - 1])) --n;
        const int inLen = static_cast<int>(n);
        const int need = ::WideCharToMultiByte(codePage, flags, text.data(), inLen, nullptr, 0, nullptr, nullptr);
        if (need > 0) {
            const std::size_t at = out.size();
            out.resize(at + static_cast<std::size_t>(need));
            ::WideCharToMultiByte(codePage, flags, text.data(), inLen, out.data() + at, need, nullptr, nullptr);
        }
        text.remove_prefix(n);
    }
    return out;
}

std::wstring wideFrom(UINT codePage, std::string_view text, bool utf8) {
    std::wstring out;
    while (!text.empty()) {
        std::size_t n = text.size() < kPiece ? text.size() : kPiece;
        if (n < text.size() && utf8) {
            const std::size_t cut = utf8PrefixLength(text, n);
            if (cut > 0) n = cut;
        } else if (n < text.size() && ::IsDBCSLeadByteEx(codePage, static_cast<BYTE>(text[n - 1]))) {
            --n;
        }
        const int inLen = static_cast<int>(n);
        const int need = ::MultiByteToWideChar(codePage, 0, text.data(), inLen, nullptr, 0);
        if (need > 0) {
            const std::size_t at = out.size();
            out.resize(at + static_cast<std::size_t>(need));
            ::MultiByteToWideChar(codePage, 0, text.data(), inLen, out.data() + at, need);
        }
        text.remove_prefix(n);
    }
    return out;
}

}  // namespace

// The system would write U+FFFD for a surrogate without its pair; '?' keeps
// the result the same as on every other system.
std::string wideToUtf8(std::wstring_view text) {
    std::wstring paired;
    std::wstring_view source = text;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool high = IS_HIGH_SURROGATE(text[i]);
        const bool low = IS_LOW_SURROGATE(text[i]);
        if (high && i + 1 < text.size() && IS_LOW_SURROGATE(text[i + 1])) {
            ++i;
            continue;
        }
        if (!high && !low) continue;
        if (paired.empty()) paired.assign(text);
        paired[i] = L'?';
        source = paired;
    }
    return narrowFrom(CP_UTF8, 0, source);
}

// Without MB_ERR_INVALID_CHARS the system writes U+FFFD for bytes that are
// not UTF-8 and goes on after them.
std::wstring utf8ToWide(std::string_view text) { return wideFrom(CP_UTF8, text, true); }

// WC_NO_BEST_FIT_CHARS: the default conversion would write a look-alike for a
// character the code page lacks, and a look-alike of "\" or ":" in a name
// read back as a path would lead somewhere else; the default character ('?')
// names nothing.
std::string wideToAnsi(std::wstring_view text) { return narrowFrom(CP_ACP, WC_NO_BEST_FIT_CHARS, text); }

std::wstring ansiToWide(std::string_view text) { return wideFrom(CP_ACP, text, false); }

}  // namespace platform

#endif  // _WIN32
