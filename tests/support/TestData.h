// Reproducible pseudo-random bytes for test bodies: any slip of an offset
// shows, unlike a body of one repeated byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace testsupport {

inline std::string patternBytes(std::size_t size, uint32_t seed = 2463534242u) {
    std::string bytes(size, '\0');
    uint32_t x = seed;
    for (auto& c : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
    }
    return bytes;
}

}  // namespace testsupport
