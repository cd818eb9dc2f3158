// Room left on a file system, asked before writing something large, so that
// a write that cannot fit is refused before it fills the disk rather than
// failing half way with the disk full.
//
// Callable from any thread; one system call per existing folder tried, no
// blocking beyond that.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

enum class DiskRoom {
    Enough,     // at least the bytes asked for are free
    TooLittle,  // fewer are free; the last error is the system's "disk full"
    Unknown,    // the system cannot tell; the last error says why
};

// Whether `bytes` more bytes can be written, by this user, on the file system
// that holds `path`. A `path` that does not exist yet is judged by its nearest
// existing parent folder, as that is where it will be made.
DiskRoom diskRoomFor(const std::wstring& path, uint64_t bytes);

}  // namespace platform
