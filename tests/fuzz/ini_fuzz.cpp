// The INI reader over arbitrary file contents. The first line of the input
// also names a section and a key (split at the first TAB), so lookups hit
// names that the rest of the input defines. Each result is terminated inside
// its buffer, never longer than the buffer less one, and its reported length
// matches.
#include <cstddef>
#include <cstdint>
#include <cwchar>
#include <string>
#include <vector>

#include "platform/ini.h"
#include "platform/text.h"

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

void lookup(std::string_view content, const wchar_t* section, const wchar_t* key, uint32_t size) {
    std::vector<wchar_t> out(size, L'#');
    const uint32_t n = platform::profileStringFromText(content, section, key, L"default  ", out.data(), size);
    check(n < size);
    check(out[n] == L'\0');
    check(std::wcslen(out.data()) == n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view content(reinterpret_cast<const char*>(data), size);
    const std::string_view first = content.substr(0, content.find('\n'));
    const std::size_t tab = first.find('\t');
    const std::wstring section = platform::utf8ToWide(first.substr(0, tab));
    const std::wstring key = tab == std::string_view::npos ? L"" : platform::utf8ToWide(first.substr(tab + 1));
    for (uint32_t bufferSize : {1u, 2u, 7u, 1024u}) {
        lookup(content, section.c_str(), key.c_str(), bufferSize);
        lookup(content, L"UPGRADE", L"SERVER_UPGRADE_0", bufferSize);
    }
    return 0;
}
