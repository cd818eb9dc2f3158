// The upgrade manager's log tag, shared by its implementation files.
#pragma once

#include "foundation/Log.h"

inline constexpr ModuleLog kUpgradeLog{"upgradeManager", L"upgradeManager"};
