// Reading what the program logged during a test.
#pragma once

#include <string>

#include "support/TempHome.h"

namespace testsupport {

// File name of today's log ("log_glauncher_YYYYMMDD.log", local time).
std::string todayLogName();

// Every log file in `home`'s log folder, concatenated in listing order;
// empty when there is none. Call ReleaseLogger first so nothing is pending.
std::string readLogs(const TempHome& home);

}  // namespace testsupport
