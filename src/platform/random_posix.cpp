#include "platform/random.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdint>

namespace platform {

bool randomBytes(void* out, std::size_t size) {
    auto* at = static_cast<uint8_t*>(out);
    while (size > 0) {
        const ssize_t n = ::getrandom(at, size, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        at += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace platform
