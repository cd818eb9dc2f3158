#include "support/LogReader.h"

#include <ctime>
#include <filesystem>

namespace testsupport {

std::string todayLogName() {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    localtime_r(&now, &parts);
    char name[64];
    std::strftime(name, sizeof name, "log_glauncher_%Y%m%d.log", &parts);
    return name;
}

std::string readLogs(const TempHome& home) {
    std::string all;
    std::error_code error;
    if (!std::filesystem::exists(home.logFolder(), error)) return all;
    for (const auto& e : std::filesystem::directory_iterator(home.logFolder(), error)) {
        if (e.is_regular_file(error)) all += readFile(e.path());
    }
    return all;
}

}  // namespace testsupport
