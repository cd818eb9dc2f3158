// The log tags of the program's shell: start-up and what it calls (the game
// path record, the version file) write as GameLauncher, crash reporting's
// setup and its test trigger as CrashReport.
#pragma once

#include "foundation/Log.h"

inline constexpr ModuleLog kGameLauncherLog{"GameLauncher", L"GameLauncher"};
inline constexpr ModuleLog kCrashReportLog{"CrashReport", L"CrashReport"};
