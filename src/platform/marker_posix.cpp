#include "platform/marker.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

#include "platform/folders.h"

namespace platform {

namespace {

// The lock files stay on disk: unlinking one while another process has it
// open would let two holders lock two different files of the same name.
// `noFolder` tells a runtime folder that cannot be used from a file that
// cannot be opened.
UniqueHandle openMarkerFile(const char* name, bool& noFolder) {
    std::string folder;
    noFolder = false;
    if (name == nullptr || name[0] == '\0') {
        errno = EINVAL;
        return UniqueHandle();
    }
    if (!runtimeFolder(folder)) {
        noFolder = true;
        return UniqueHandle();
    }
    const std::string path = folder + "/" + name + ".lock";
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    } while (fd < 0 && errno == EINTR);
    return UniqueHandle(fd);
}

// The whole file, exclusively. Open-file-description locks, like flock(),
// belong to the descriptor rather than the process (two holders in one
// process exclude each other), but they can also be tested without being
// taken: a probe that took the lock, even for an instant, made a launcher
// starting at that instant believe another copy ran, and it exited.
struct flock wholeFile() {
    struct flock lock{};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    return lock;
}

// Failures that may pass by themselves: they say nothing about the folder.
bool isTransient(int error) {
    return error == EMFILE || error == ENFILE || error == ENOMEM || error == EINTR || error == EAGAIN;
}

int lockCall(int fd, int command, struct flock& lock) {
    int r;
    do {
        r = ::fcntl(fd, command, &lock);
    } while (r != 0 && errno == EINTR);
    return r;
}

}  // namespace

Marker::Result Marker::acquire(const char* name) {
    if (held()) return Result::Acquired;
    bool noFolder = false;
    UniqueHandle file = openMarkerFile(name, noFolder);
    if (!file.valid()) return Result::Failed;
    struct flock lock = wholeFile();
    if (lockCall(file.get(), F_OFD_SETLK, lock) != 0) {
        const int error = errno;
        return error == EAGAIN || error == EACCES ? Result::AlreadyHeld : Result::Failed;
    }
    m_handle = std::move(file);
    return Result::Acquired;
}

// Closing the only descriptor of the lock drops it.
void Marker::release() { m_handle.reset(); }

MarkerState probeMarker(const char* name) {
    bool noFolder = false;
    UniqueHandle file = openMarkerFile(name, noFolder);
    if (!file.valid()) {
        // Nobody can hold a marker in a runtime folder that cannot be made
        // or is refused as unsafe, and it stays so: waiting for a holder
        // that cannot exist would stop every update for good.
        return noFolder && !isTransient(errno) ? MarkerState::Free : MarkerState::Failed;
    }
    struct flock lock = wholeFile();
    const int r = lockCall(file.get(), F_OFD_GETLK, lock);
    file.reset();
    if (r != 0) return MarkerState::Failed;
    return lock.l_type == F_UNLCK ? MarkerState::Free : MarkerState::Held;
}

}  // namespace platform
