#include <string>

#include "platform/file.h"
#include "platform/ini.h"

namespace platform {

namespace {

constexpr std::size_t kMaxProfileBytes = 16u << 20;

}  // namespace

uint32_t getPrivateProfileString(const wchar_t* section, const wchar_t* key, const wchar_t* defaultValue, wchar_t* out,
                                 uint32_t size, const wchar_t* path) {
    if (out == nullptr || size == 0) return 0;
    std::string content;
    File file;
    if (path != nullptr && file.open(path, File::Access::Read, File::Disposition::OpenExisting)) {
        char chunk[16384];
        // Settings files are small; the bound keeps a stray device or huge
        // file (a link to /dev/zero, say) from being read without end.
        while (content.size() < kMaxProfileBytes) {
            const int64_t n = file.read(chunk, sizeof chunk);
            if (n <= 0) break;
            content.append(chunk, static_cast<std::size_t>(n));
        }
    }
    return profileStringFromText(content, section, key, defaultValue, out, size);
}

uint32_t getPrivateProfileInt(const wchar_t* section, const wchar_t* key, int32_t defaultValue, const wchar_t* path) {
    wchar_t buffer[64];
    if (getPrivateProfileString(section, key, L"", buffer, 64, path) == 0) return static_cast<uint32_t>(defaultValue);
    const wchar_t* p = buffer;
    bool negative = false;
    if (*p == L'+' || *p == L'-') negative = *p++ == L'-';
    uint32_t base = 10;
    if (p[0] == L'0' && (p[1] == L'x' || p[1] == L'X')) {
        base = 16;
        p += 2;
    }
    uint32_t result = 0;
    for (;; ++p) {
        uint32_t digit;
        if (*p >= L'0' && *p <= L'9') {
            digit = static_cast<uint32_t>(*p - L'0');
        } else if (base == 16 && *p >= L'a' && *p <= L'f') {
            digit = static_cast<uint32_t>(*p - L'a' + 10);
        } else if (base == 16 && *p >= L'A' && *p <= L'F') {
            digit = static_cast<uint32_t>(*p - L'A' + 10);
        } else {
            break;
        }
        // Wraps like the 32-bit arithmetic of the Windows reader.
        result = result * base + digit;
    }
    return negative ? 0u - result : result;
}

}  // namespace platform
