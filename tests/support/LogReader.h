// Reading what the program logged during a test.
#pragma once

#include <filesystem>
#include <string>

#include "support/TempHome.h"

namespace testsupport {

// File name of today's log ("log_glauncher_YYYYMMDD.log", local time).
std::string todayLogName();

// Every log file in `logFolder`, concatenated in name order (the daily
// logs oldest first); empty when there is none. Call ReleaseLogger first so
// nothing is pending.
std::string readLogs(const std::filesystem::path& logFolder);
// The same for `home`'s log folder.
std::string readLogs(const TempHome& home);

}  // namespace testsupport
