#include "platform/disk_space.h"

#include <sys/statvfs.h>

#include <cerrno>
#include <string>

#include "platform/path.h"

namespace platform {

DiskRoom diskRoomFor(const std::wstring& path, uint64_t bytes) {
    std::string at = toSystemPath(path);
    if (at.empty()) at = ".";
    struct statvfs fs{};
    for (;;) {
        if (::statvfs(at.c_str(), &fs) == 0) break;
        // Only a missing level sends the question up to the parent; any
        // other failure (a file on the way, no permission) is an answer.
        if (errno != ENOENT) return DiskRoom::Unknown;
        while (at.size() > 1 && at.back() == '/') at.pop_back();
        const std::size_t cut = at.rfind('/');
        if (cut == std::string::npos) {
            if (at == ".") return DiskRoom::Unknown;
            at = ".";
        } else {
            at.resize(cut == 0 ? 1 : cut);
        }
    }
    // f_bavail, not f_bfree: the blocks reserved for root are not ours to
    // count on, even when we run as root.
    const uint64_t blockSize = fs.f_frsize != 0 ? fs.f_frsize : fs.f_bsize;
    const uint64_t blocks = static_cast<uint64_t>(fs.f_bavail);
    const uint64_t available = blockSize != 0 && blocks > UINT64_MAX / blockSize ? UINT64_MAX : blocks * blockSize;
    if (available >= bytes) return DiskRoom::Enough;
    errno = ENOSPC;
    return DiskRoom::TooLittle;
}

}  // namespace platform
