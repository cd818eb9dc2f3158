// The installed launcher's file list over arbitrary text: whatever the bytes,
// the result is one of the three, the version is a terminated text inside its
// 32-byte field, every listed entry fits its fields and stays inside the
// install folder, the list keeps to its bounds and names no path twice.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "upgrade/upgradeManager.h"

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    char version[32];
    std::memset(version, 'x', sizeof version);
    std::vector<FileEntry> list;
    std::string bad;
    const LauncherListResult r = parseLauncherFileList(text, version, list, &bad);
    check(std::memchr(version, '\0', sizeof version) != nullptr);
    if (r == LauncherListResult::Ok) check(version[0] != '\0');
    if (r == LauncherListResult::Invalid) check(list.empty());
    if (text.size() > kMaxLauncherListBytes) check(r == LauncherListResult::Invalid);
    check(list.size() <= kMaxLauncherListEntries);
    std::set<std::string> paths;
    for (const FileEntry& e : list) {
        check(std::memchr(e.path, '\0', sizeof e.path) != nullptr);
        check(std::memchr(e.md5, '\0', sizeof e.md5) != nullptr);
        const std::string path = e.path;
        check(paths.insert(path).second);
        check(!path.empty() && path[0] != '/' && path[0] != '\\');
        std::size_t start = 0;
        while (start <= path.size()) {
            std::size_t end = path.find_first_of("/\\", start);
            if (end == std::string::npos) end = path.size();
            check(path.compare(start, end - start, "..") != 0);
            start = end + 1;
        }
    }
    return 0;
}
