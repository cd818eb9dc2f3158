#include "platform/file_faults_system.h"

#ifdef GL_TEST_HOOKS

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace platform::faults {

char pathSeparator() { return '/'; }

char scopeSeparator() { return ':'; }

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::string resolve(const std::string& path) {
    std::string absolute = path;
    if (absolute.empty() || absolute[0] != '/') {
        char cwd[PATH_MAX];
        if (::getcwd(cwd, sizeof cwd) != nullptr) absolute = std::string(cwd) + "/" + absolute;
    }
    while (absolute.size() > 1 && absolute.back() == '/') absolute.pop_back();
    const std::size_t cut = absolute.rfind('/');
    std::string folder = cut == 0 ? "/" : absolute.substr(0, cut);
    const std::string leaf = absolute.substr(cut + 1);
    char real[PATH_MAX];
    if (::realpath(folder.c_str(), real) != nullptr) folder = real;
    return folder == "/" ? "/" + leaf : folder + "/" + leaf;
}

std::string resolveFolder(const std::string& folder) {
    std::string out = folder;
    char real[PATH_MAX];
    if (::realpath(folder.c_str(), real) != nullptr) out = real;
    while (out.size() > 1 && out.back() == '/') out.pop_back();
    return out;
}

std::string pathOfHandle(NativeHandle handle) {
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", handle);
    char target[PATH_MAX];
    const ssize_t n = ::readlink(link, target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

bool inFolder(const std::string& path, const std::string& folder) {
    if (path == folder) return true;
    return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
           (folder == "/" || path[folder.size()] == '/');
}

void stopProcess() { ::raise(SIGSTOP); }

void setFailure(FileOp op) {
    switch (op) {
        case FileOp::Create:
        case FileOp::Write:
        case FileOp::CreateFolder: errno = ENOSPC; break;
        default: errno = EIO; break;
    }
}

void writeReport(const std::string& path, const std::string& text) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t w = ::write(fd, text.data() + done, text.size() - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) break;
        done += static_cast<std::size_t>(w);
    }
    ::close(fd);
}

}  // namespace platform::faults

#endif  // GL_TEST_HOOKS
