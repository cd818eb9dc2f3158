#include "platform/native_handle.h"

#include <unistd.h>

#include <cerrno>

namespace platform {

// Linux releases the descriptor even when close() fails, EINTR included: a
// second close could only hit a descriptor another thread has opened since.
bool UniqueHandle::close() {
    if (!valid()) return true;
    return ::close(std::exchange(m_handle, kInvalidHandle)) == 0;
}

void UniqueHandle::reset(NativeHandle handle) {
    if (handle == m_handle) return;
    const int error = errno;
    close();
    m_handle = handle;
    errno = error;
}

}  // namespace platform
