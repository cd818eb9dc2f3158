#include "support/LogReader.h"

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <vector>

namespace testsupport {

std::string todayLogName() {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
#ifdef _WIN32
    localtime_s(&parts, &now);
#else
    localtime_r(&now, &parts);
#endif
    char name[64];
    std::strftime(name, sizeof name, "log_glauncher_%Y%m%d.log", &parts);
    return name;
}

std::string readLogs(const std::filesystem::path& logFolder) {
    std::string all;
    std::error_code error;
    if (!std::filesystem::is_directory(logFolder, error)) return all;
    std::vector<std::filesystem::path> files;
    for (const auto& e : std::filesystem::directory_iterator(logFolder, error)) {
        if (e.is_regular_file(error)) files.push_back(e.path());
    }
    std::sort(files.begin(), files.end());
    for (const auto& f : files) all += readFile(f);
    return all;
}

std::string readLogs(const TempHome& home) {
    return readLogs(home.logFolder());
}

}  // namespace testsupport
