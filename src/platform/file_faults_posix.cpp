#include "platform/file_faults.h"

#ifdef GL_TEST_HOOKS

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace platform {

namespace {

const char* opName(FileOp op) {
    switch (op) {
        case FileOp::Create: return "create";
        case FileOp::Write: return "write";
        case FileOp::Rename: return "rename";
        case FileOp::Truncate: return "truncate";
        case FileOp::SetAttributes: return "set-attributes";
        case FileOp::Delete: return "delete";
        case FileOp::CreateFolder: return "create-folder";
    }
    return "?";
}

// A full disk for what takes room, a failing one for the rest.
int errorFor(FileOp op) {
    switch (op) {
        case FileOp::Create:
        case FileOp::Write:
        case FileOp::CreateFolder: return ENOSPC;
        default: return EIO;
    }
}

uint64_t readNumber(const char* name) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') return 0;
    char* end = nullptr;
    const unsigned long long n = std::strtoull(text, &end, 10);
    return (end != nullptr && *end == '\0') ? static_cast<uint64_t>(n) : 0;
}

// Symbolic links and "//" in a path must not hide that it lies in scope:
// the folder part is resolved, the last level kept as it is (it may not
// exist yet).
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

std::string pathOfFd(int fd) {
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char target[PATH_MAX];
    const ssize_t n = ::readlink(link, target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

class FileFaults {
public:
    FileFaults() {
        m_failAt = readNumber("GL_TEST_FAIL_FILE_OP");
        m_stopAt = readNumber("GL_TEST_STOP_AT_FILE_OP");
        if (const char* report = std::getenv("GL_TEST_FILE_OP_COUNT")) m_reportPath = report;
        if (const char* scope = std::getenv("GL_TEST_FILE_OP_SCOPE")) {
            std::string list = scope;
            std::size_t at = 0;
            while (at <= list.size()) {
                std::size_t end = list.find(':', at);
                if (end == std::string::npos) end = list.size();
                std::string folder = list.substr(at, end - at);
                if (!folder.empty()) {
                    char real[PATH_MAX];
                    if (::realpath(folder.c_str(), real) != nullptr) folder = real;
                    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
                    m_scope.push_back(folder);
                }
                at = end + 1;
            }
        }
        m_active = m_failAt != 0 || m_stopAt != 0 || !m_reportPath.empty();
        if (!m_reportPath.empty()) std::atexit([] { instance().writeReport(); });
    }

    // Never destroyed: the report is written by an exit handler, which may
    // run after the destructors of static objects.
    static FileFaults& instance() {
        static FileFaults* const faults = new FileFaults;
        return *faults;
    }

    bool active() const { return m_active; }

    // `path` is only asked for when the operation counts at all.
    template <typename PathOf>
    bool check(FileOp op, PathOf pathOf) {
        if (!m_active) return false;
        const std::string path = pathOf();
        if (!inScope(path)) return false;
        uint64_t n;
        bool fail;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            n = ++m_count;
            fail = n == m_failAt;
            if (!m_reportPath.empty()) {
                m_lines.push_back(std::to_string(n) + " " + opName(op) + " " + path + (fail ? " failed" : ""));
            }
        }
        if (n == m_stopAt) ::raise(SIGSTOP);
        if (fail) errno = errorFor(op);
        return fail;
    }

private:
    bool inScope(const std::string& path) const {
        if (m_scope.empty()) return true;
        for (const std::string& folder : m_scope) {
            if (path == folder) return true;
            if (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
                (folder == "/" || path[folder.size()] == '/')) {
                return true;
            }
        }
        return false;
    }

    // Raw calls: the report is no operation of the program's.
    void writeReport() {
        std::string text;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            text = "operations " + std::to_string(m_count) + "\n";
            for (const std::string& line : m_lines) text += line + "\n";
        }
        const int fd = ::open(m_reportPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
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

    uint64_t m_failAt = 0;
    uint64_t m_stopAt = 0;
    std::string m_reportPath;
    std::vector<std::string> m_scope;
    bool m_active = false;
    std::mutex m_mutex;
    uint64_t m_count = 0;
    std::vector<std::string> m_lines;
};

// Reads the environment before main: a run without counted operations still
// writes its report.
[[maybe_unused]] const bool g_loaded = (FileFaults::instance(), true);

}  // namespace

bool injectFileFault(FileOp op, const std::string& systemPath) {
    return FileFaults::instance().check(op, [&] { return resolve(systemPath); });
}

bool injectFileFaultOnHandle(FileOp op, NativeHandle file) {
    return FileFaults::instance().check(op, [&] { return pathOfFd(file); });
}

bool injectFileFaultAt(FileOp op, NativeHandle folder, const std::string& leaf) {
    return FileFaults::instance().check(op, [&] { return pathOfFd(folder) + "/" + leaf; });
}

}  // namespace platform

#endif
