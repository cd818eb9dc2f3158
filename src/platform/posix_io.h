// POSIX helpers shared by the platform layer's own implementation files;
// nothing outside src/platform includes this.
#pragma once

#include <cstddef>

namespace platform {

// Writes all `size` bytes to `fd`, going on after short writes and EINTR.
// `written` (when given) receives the count that reached the file. True when
// all were written.
bool writeAll(int fd, const void* data, std::size_t size, std::size_t* written = nullptr);

}  // namespace platform
