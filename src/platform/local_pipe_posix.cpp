#include "platform/local_pipe.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <utility>

#include "platform/folders.h"

namespace platform {

namespace {

// Between connect attempts; short enough that a server that appears is
// found within a few milliseconds, long enough not to spin.
constexpr auto kRetryPause = std::chrono::milliseconds(10);

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Where pipe `name` lives: the runtime folder, held open, and a socket
// address that names the file in it.
struct PipePlace {
    UniqueHandle folder;
    sockaddr_un address;
};

// False (last error set) when the name is empty, holds a separator, or
// does not fit a socket address even through the folder's descriptor.
bool pipePlace(const char* name, PipePlace& place) {
    if (name == nullptr || name[0] == '\0' || std::strchr(name, '/') != nullptr) {
        errno = EINVAL;
        return false;
    }
    std::string folder;
    if (!runtimeFolder(folder)) return false;
    int fd;
    do {
        fd = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    place.folder.reset(fd);
    if (!place.folder.valid()) return false;
    std::string path = folder + "/" + name;
    if (path.size() >= sizeof place.address.sun_path) {
        // A socket address holds 107 bytes, a home folder's path may be
        // longer: the descriptor's entry in /proc names the same folder in
        // a few bytes, for bind and connect alike.
        path = "/proc/self/fd/" + std::to_string(fd) + "/" + name;
    }
    if (path.size() >= sizeof place.address.sun_path) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memset(&place.address, 0, sizeof place.address);
    place.address.sun_family = AF_UNIX;
    std::memcpy(place.address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// One non-blocking connect: a Unix socket connect never waits for the
// server to accept, but a blocking one waits while its backlog is full.
UniqueHandle connectOnce(const sockaddr_un& address) {
    UniqueHandle socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!socket.valid()) return socket;
    int r;
    do {
        r = ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (r != 0 && errno == EINTR);
    if (r != 0) socket.reset();
    return socket;
}

bool isRetryable(int error) { return error == ENOENT || error == ECONNREFUSED || error == EAGAIN; }

}  // namespace

PipeClient::OpenResult PipeClient::open(const char* name, uint32_t waitMs) {
    close();
    PipePlace place;
    if (!pipePlace(name, place)) return OpenResult::Failed;
    const sockaddr_un& address = place.address;
    const int64_t deadline = nowMs() + waitMs;
    UniqueHandle socket;
    for (;;) {
        socket = connectOnce(address);
        if (socket.valid()) break;
        const int error = errno;
        if (!isRetryable(error)) return OpenResult::Failed;
        const int64_t left = deadline - nowMs();
        if (left <= 0) {
            errno = error;
            return OpenResult::NoInstance;
        }
        std::this_thread::sleep_for(std::min(std::chrono::milliseconds(left), std::chrono::milliseconds(kRetryPause)));
    }
    // Writes block (up to the send time-out) rather than fail when the
    // server is slow to read.
    const int flags = ::fcntl(socket.get(), F_GETFL);
    timeval timeout{kWriteTimeoutMs / 1000, (kWriteTimeoutMs % 1000) * 1000};
    if (flags < 0 || ::fcntl(socket.get(), F_SETFL, flags & ~O_NONBLOCK) != 0 ||
        ::setsockopt(socket.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) != 0) {
        return OpenResult::Failed;
    }
    m_handle = std::move(socket);
    return OpenResult::Opened;
}

bool PipeClient::write(const void* data, std::size_t size) {
    if (!m_handle.valid()) {
        errno = EBADF;
        return false;
    }
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::send(m_handle.get(), p, size, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            // The send time-out shows as EAGAIN.
            if (errno == EAGAIN) errno = ETIMEDOUT;
            return false;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

void PipeClient::close() { m_handle.reset(); }

// Non-blocking, so that wake() from a signal handler never blocks even when
// the counter is at its limit.
PipeServer::PipeServer() : m_wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

PipeServer::~PipeServer() { close(); }

bool PipeServer::listen(const char* name) {
    close();
    PipePlace place;
    if (!pipePlace(name, place)) return false;
    const sockaddr_un& address = place.address;
    const int folder = place.folder.get();
    UniqueHandle socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!socket.valid()) return false;
    const int fd = socket.get();
    // The runtime folder is private already; the mode keeps the socket so
    // if that folder is ever shared. fchmod before bind sets the mode the
    // file is created with, so there is no moment of a wider mode.
    (void)::fchmod(fd, 0600);
    for (int attempt = 0;; ++attempt) {
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) break;
        if (errno != EADDRINUSE || attempt > 0) return false;
        // A socket file is there: replace it only when nobody answers on it.
        struct stat st{};
        if (::fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISSOCK(st.st_mode)) {
            errno = EADDRINUSE;
            return false;
        }
        const UniqueHandle probe = connectOnce(address);
        if (probe.valid() || errno != ECONNREFUSED) {
            errno = EADDRINUSE;
            return false;
        }
        if (::unlinkat(folder, name, 0) != 0 && errno != ENOENT) return false;
    }
    struct stat st{};
    if (::fchmodat(folder, name, 0600, 0) != 0 || ::fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        ::listen(fd, 8) != 0) {
        const int error = errno;
        ::unlinkat(folder, name, 0);
        errno = error;
        return false;
    }
    m_listen = std::move(socket);
    m_folder = std::move(place.folder);
    m_device = st.st_dev;
    m_inode = st.st_ino;
    m_name = name;
    return true;
}

PipeServer::Result PipeServer::waitReadable(NativeHandle handle, int64_t deadlineMs) {
    for (;;) {
        int timeout = -1;
        if (deadlineMs >= 0) {
            const int64_t left = deadlineMs - nowMs();
            timeout = left > 0 ? static_cast<int>(std::min<int64_t>(left, 1 << 30)) : 0;
        }
        pollfd fds[2] = {{handle, POLLIN, 0}, {m_wake.get(), POLLIN, 0}};
        const int r = ::poll(fds, m_wake.valid() ? 2 : 1, timeout);
        if (r < 0) {
            if (errno == EINTR) continue;
            return Result::Failed;
        }
        if (m_wake.valid() && (fds[1].revents & POLLIN) != 0) return Result::Woken;
        if (fds[0].revents != 0) return Result::Ok;
        if (r == 0) return Result::TimedOut;
    }
}

PipeServer::Result PipeServer::accept(int32_t timeoutMs) {
    disconnect();
    if (!m_listen.valid()) {
        errno = EBADF;
        return Result::Failed;
    }
    const int64_t deadline = timeoutMs < 0 ? -1 : nowMs() + timeoutMs;
    for (;;) {
        const Result ready = waitReadable(m_listen.get(), deadline);
        if (ready != Result::Ok) return ready;
        const int fd = ::accept4(m_listen.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) {
            m_client.reset(fd);
            return Result::Ok;
        }
        // The client may have gone between poll and accept.
        if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED) return Result::Failed;
    }
}

PipeServer::Result PipeServer::read(void* buffer, std::size_t size, int32_t timeoutMs) {
    if (!m_client.valid()) {
        errno = EBADF;
        return Result::Failed;
    }
    const int64_t deadline = timeoutMs < 0 ? -1 : nowMs() + timeoutMs;
    char* p = static_cast<char*>(buffer);
    while (size > 0) {
        const ssize_t n = ::recv(m_client.get(), p, size, 0);
        if (n > 0) {
            p += n;
            size -= static_cast<std::size_t>(n);
            continue;
        }
        if (n == 0) return Result::Closed;
        if (errno == EINTR) continue;
        if (errno == ECONNRESET) return Result::Closed;
        if (errno != EAGAIN) return Result::Failed;
        const Result ready = waitReadable(m_client.get(), deadline);
        if (ready != Result::Ok) return ready;
    }
    return Result::Ok;
}

void PipeServer::disconnect() { m_client.reset(); }

void PipeServer::wake() {
    if (!m_wake.valid()) return;
    const uint64_t one = 1;
    // Only write(2): this runs in signal handlers.
    const int error = errno;
    (void)!::write(m_wake.get(), &one, sizeof one);
    errno = error;
}

void PipeServer::close() {
    disconnect();
    if (!m_listen.valid()) return;
    // Another server may have replaced a file it found unanswered (after
    // this one stopped answering); its file is not ours to remove.
    struct stat st{};
    if (::fstatat(m_folder.get(), m_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        static_cast<uint64_t>(st.st_dev) == m_device && static_cast<uint64_t>(st.st_ino) == m_inode) {
        ::unlinkat(m_folder.get(), m_name.c_str(), 0);
    }
    m_listen.reset();
    m_folder.reset();
}

}  // namespace platform
