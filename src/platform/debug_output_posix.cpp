#include "platform/debug_output.h"

#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/text.h"

namespace platform {

void debugOutput(const char* text) {
    if (text == nullptr) return;
    std::size_t left = std::strlen(text);
    while (left > 0) {
        const ssize_t n = ::write(STDERR_FILENO, text, left);
        if (n <= 0) return;
        text += n;
        left -= static_cast<std::size_t>(n);
    }
}

void debugOutputW(const wchar_t* text) {
    if (text == nullptr) return;
    debugOutput(wideToUtf8(text).c_str());
}

}  // namespace platform
