#include "platform/folders.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/text.h"

namespace platform {

namespace {

constexpr const char* kRuntimeLeaf = "gamelauncher-runtime";

std::string absoluteEnv(const char* name) {
    const char* v = std::getenv(name);
    // The XDG rules ignore relative values.
    if (v == nullptr || v[0] != '/') return {};
    return v;
}

bool makeAll(const std::string& path) {
    std::string partial;
    std::size_t pos = 0;
    while (pos <= path.size()) {
        std::size_t next = path.find('/', pos);
        if (next == std::string::npos) next = path.size();
        partial = path.substr(0, next);
        if (!partial.empty() && ::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) return false;
        pos = next + 1;
    }
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) return false;
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return false;
    }
    return true;
}

// A real folder (not a link), owned by `uid`, that neither its group nor
// others may write into.
bool isPrivateFolder(const std::string& path, uid_t uid) {
    struct stat st{};
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == uid && (st.st_mode & 022) == 0;
}

bool userFolder(const char* xdgName, const char* homeSuffix, std::wstring& out) {
    std::string path = absoluteEnv(xdgName);
    if (path.empty()) {
        const std::string home = absoluteEnv("HOME");
        if (home.empty()) {
            errno = ENOENT;
            return false;
        }
        path = home + homeSuffix;
    }
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    if (!makeAll(path)) return false;
    out = utf8ToWide(path);
    return true;
}

}  // namespace

bool roamingAppDataFolder(std::wstring& out) { return userFolder("XDG_CONFIG_HOME", "/.config", out); }

bool localAppDataFolder(std::wstring& out) { return userFolder("XDG_DATA_HOME", "/.local/share", out); }

bool runtimeFolder(std::string& out) {
    const uid_t uid = ::getuid();
    std::string dir = absoluteEnv("XDG_RUNTIME_DIR");
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    // A runtime folder others may write into lets them fake a running
    // launcher and read what is sent to it: such a one is passed over.
    if (!dir.empty() && isPrivateFolder(dir, uid)) {
        out = dir;
        return true;
    }
    // Under the user's own data folder, where another user cannot create
    // it first (in /tmp anyone could, and so block every update).
    std::wstring data;
    if (!localAppDataFolder(data)) return false;
    dir = wideToUtf8(data);
    if (dir != "/") dir += '/';
    dir += kRuntimeLeaf;
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (!isPrivateFolder(dir, uid)) {
        errno = EACCES;
        return false;
    }
    out = dir;
    return true;
}

}  // namespace platform
