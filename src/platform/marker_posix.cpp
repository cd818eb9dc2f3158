#include "platform/marker.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/folders.h"

namespace platform {

namespace {

// The lock files stay on disk: unlinking one while another process has it
// open would let two holders lock two different files of the same name.
int openMarkerFile(const char* name) {
    std::string folder;
    if (name == nullptr || name[0] == '\0') {
        errno = EINVAL;
        return -1;
    }
    if (!runtimeFolder(folder)) return -1;
    const std::string path = folder + "/" + name + ".lock";
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

}  // namespace

Marker::Result Marker::acquire(const char* name) {
    if (held()) return Result::Acquired;
    const int fd = openMarkerFile(name);
    if (fd < 0) return Result::Failed;
    int r;
    do {
        r = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (r != 0 && errno == EINTR);
    if (r != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return error == EWOULDBLOCK ? Result::AlreadyHeld : Result::Failed;
    }
    m_handle = fd;
    return Result::Acquired;
}

void Marker::release() {
    if (m_handle < 0) return;
    // Closing the only descriptor of the lock drops it.
    ::close(m_handle);
    m_handle = -1;
}

MarkerState probeMarker(const char* name) {
    Marker probe;
    switch (probe.acquire(name)) {
        case Marker::Result::Acquired: return MarkerState::Free;
        case Marker::Result::AlreadyHeld: return MarkerState::Held;
        case Marker::Result::Failed: break;
    }
    return MarkerState::Failed;
}

}  // namespace platform
