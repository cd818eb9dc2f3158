// The program's string resources (ids 103 to 120), compiled in as UTF-8 and
// handed out as wide texts like LoadStringW does: the one table of texts the
// user sees, and the one list of their ids.
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
// The warnings of the update workflow.
inline constexpr uint32_t IDS_PARSE_UPDATE_FAILED = 104;
inline constexpr uint32_t IDS_MARK_FAILED = 110;
inline constexpr uint32_t IDS_UPDATE_FAILED = 113;
inline constexpr uint32_t IDS_START_LAUNCHER_FAILED = 117;
inline constexpr uint32_t IDS_SERVER_ADDRESS_FAILED = 120;

// Every id above; each has a text (checked where the texts are).
inline constexpr uint32_t kStringIds[] = {IDS_TITLE,       IDS_PARSE_UPDATE_FAILED,   IDS_NEED_64BIT,
                                          IDS_MARK_FAILED, IDS_UPDATE_FAILED,         IDS_START_LAUNCHER_FAILED,
                                          IDS_SERVER_ADDRESS_FAILED};
