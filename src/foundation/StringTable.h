// The program's string resources (ids 103 to 120), compiled in as UTF-8 and
// handed out as wide texts like LoadStringW does. The one table of texts the
// user sees; start-up's ids stand here, the update workflow's warning ids in
// upgrade/LauncherWindow.h.
#pragma once

#include <cstdint>

// Copies string `id` into `buffer` (cut to `capacity` - 1 characters,
// always terminated). Returns the number of characters copied; 0 when the
// id is unknown or the buffer has no room.
int LoadStringResource(uint32_t id, wchar_t* buffer, int capacity);

// The window title and the caption of start-up's error box.
inline constexpr uint32_t IDS_TITLE = 103;
// The refusal on a system that is not 64-bit.
inline constexpr uint32_t IDS_NEED_64BIT = 105;
