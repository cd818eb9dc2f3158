// Bytes from the system's cryptographic random source (getrandom on Linux).
//
// Threads: any. Blocks only while the system's source is not yet ready
// after boot.
#pragma once

#include <cstddef>

namespace platform {

// Fills `out` with `size` random bytes; false (last error set) when the
// source cannot be read, and `out` is then unspecified.
bool randomBytes(void* out, std::size_t size);

}  // namespace platform
