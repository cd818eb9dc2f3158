#include "platform/process.h"

#include <unistd.h>

#include <cerrno>
#include <climits>

#include "platform/text.h"

namespace platform {

uint32_t currentProcessId() { return static_cast<uint32_t>(::getpid()); }

bool moduleFileName(std::wstring& out) {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf);
    if (n <= 0) return false;
    if (static_cast<std::size_t>(n) >= sizeof buf) {
        errno = ENAMETOOLONG;
        return false;
    }
    out = utf8ToWide(std::string_view(buf, static_cast<std::size_t>(n)));
    return true;
}

}  // namespace platform
