// The profile-file lookup over text in memory, the same on every system.
#include "platform/ini.h"

#include <cstring>
#include <cwchar>
#include <string>

#include "platform/text.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <locale.h>
#include <wctype.h>

#include <cwctype>
#endif

namespace platform {

namespace {

bool isBlank(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\v' || c == L'\f' || c == L'\r' || c == L'\n' || c == 0x1A;
}

std::wstring_view trim(std::wstring_view s) {
    std::size_t b = 0;
    std::size_t e = s.size();
    while (b < e && isBlank(s[b])) ++b;
    while (e > b && isBlank(s[e - 1])) --e;
    return s.substr(b, e - b);
}

#ifdef _WIN32
// The system's own comparison of names without letter case.
bool equalsNoCase(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) return false;
    if (a.empty()) return true;
    return ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}
#else
// Windows compares names with the full Unicode case mapping, whatever the
// process locale; the C.UTF-8 locale gives the same without touching ours.
wint_t lowerCase(wchar_t c) {
    static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    if (utf8 != static_cast<locale_t>(nullptr)) return towlower_l(static_cast<wint_t>(c), utf8);
    return std::towlower(static_cast<wint_t>(c));
}

bool equalsNoCase(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i] && lowerCase(a[i]) != lowerCase(b[i])) return false;
    }
    return true;
}
#endif

std::wstring decodeUtf16(std::string_view bytes, bool bigEndian) {
    std::wstring out;
    out.reserve(bytes.size() / 2);
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const auto b0 = static_cast<uint8_t>(bytes[i]);
        const auto b1 = static_cast<uint8_t>(bytes[i + 1]);
        const char32_t unit = bigEndian ? static_cast<char32_t>((b0 << 8) | b1) : static_cast<char32_t>((b1 << 8) | b0);
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 3 < bytes.size()) {
            const auto c0 = static_cast<uint8_t>(bytes[i + 2]);
            const auto c1 = static_cast<uint8_t>(bytes[i + 3]);
            const char32_t low =
                bigEndian ? static_cast<char32_t>((c0 << 8) | c1) : static_cast<char32_t>((c1 << 8) | c0);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                if constexpr (sizeof(wchar_t) == 2) {
                    // UTF-16 wide texts keep the pair as it is.
                    out.push_back(static_cast<wchar_t>(unit));
                    out.push_back(static_cast<wchar_t>(low));
                } else {
                    out.push_back(static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00)));
                }
                i += 2;
                continue;
            }
        }
        out.push_back(unit >= 0xD800 && unit <= 0xDFFF ? static_cast<wchar_t>(0xFFFD) : static_cast<wchar_t>(unit));
    }
    return out;
}

std::wstring decodeProfile(std::string_view content) {
    if (content.size() >= 2 && static_cast<uint8_t>(content[0]) == 0xFF && static_cast<uint8_t>(content[1]) == 0xFE) {
        return decodeUtf16(content.substr(2), false);
    }
    if (content.size() >= 2 && static_cast<uint8_t>(content[0]) == 0xFE && static_cast<uint8_t>(content[1]) == 0xFF) {
        return decodeUtf16(content.substr(2), true);
    }
    if (content.size() >= 3 && std::memcmp(content.data(), "\xEF\xBB\xBF", 3) == 0) content.remove_prefix(3);
    return utf8ToWide(content);
}

// Copies at most size - 1 characters and terminates; an embedded NUL ends the
// text as it would for any caller reading the buffer.
uint32_t copyBounded(std::wstring_view value, wchar_t* out, uint32_t size) {
    std::size_t n = value.size() < size - 1 ? value.size() : size - 1;
    const std::size_t nul = value.substr(0, n).find(L'\0');
    if (nul != std::wstring_view::npos) n = nul;
    std::wmemcpy(out, value.data(), n);
    out[n] = L'\0';
    return static_cast<uint32_t>(n);
}

uint32_t copyDefault(const wchar_t* defaultValue, wchar_t* out, uint32_t size) {
    std::wstring_view def = defaultValue != nullptr ? std::wstring_view(defaultValue) : std::wstring_view();
    while (!def.empty() && def.back() == L' ') def.remove_suffix(1);
    return copyBounded(def, out, size);
}

enum class Found { Value, Missing };

// Walks the lines once. Only the first section of the wanted name is
// searched: a later section of the same name is not merged into it.
Found findValue(std::wstring_view text, std::wstring_view section, std::wstring_view key, std::wstring_view& value) {
    // Keys above the first section header belong to the unnamed section.
    bool inTarget = section.empty();
    bool targetSeen = inTarget;
    std::size_t pos = 0;
    while (pos <= text.size()) {
        std::size_t end = pos;
        while (end < text.size() && text[end] != L'\n' && text[end] != L'\r') ++end;
        std::wstring_view line = trim(text.substr(pos, end - pos));
        pos = end + 1;
        if (end >= text.size()) pos = text.size() + 1;

        if (line.empty() || line.front() == L';') continue;
        if (line.front() == L'[') {
            const std::size_t close = line.rfind(L']');
            if (close != std::wstring_view::npos) {
                if (targetSeen) return Found::Missing;
                inTarget = equalsNoCase(trim(line.substr(1, close - 1)), section);
                targetSeen = inTarget;
                continue;
            }
            // A '[' without ']' is not a header; the line reads as a key.
        }
        if (!inTarget) continue;
        const std::size_t eq = line.find(L'=');
        const std::wstring_view name = trim(line.substr(0, eq));
        if (!equalsNoCase(name, key)) continue;
        if (eq == std::wstring_view::npos) return Found::Missing;
        value = trim(line.substr(eq + 1));
        return Found::Value;
    }
    return Found::Missing;
}

}  // namespace

uint32_t profileStringFromText(std::string_view content, const wchar_t* section, const wchar_t* key,
                               const wchar_t* defaultValue, wchar_t* out, uint32_t size) {
    if (out == nullptr || size == 0) return 0;
    if (section == nullptr || key == nullptr) return copyDefault(defaultValue, out, size);
    const std::wstring text = decodeProfile(content);
    std::wstring_view value;
    if (findValue(text, section, key, value) == Found::Missing) return copyDefault(defaultValue, out, size);
    if (value.size() >= 2 && (value.front() == L'"' || value.front() == L'\'') && value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    return copyBounded(value, out, size);
}

}  // namespace platform
