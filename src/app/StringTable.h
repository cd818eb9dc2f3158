// The program's string resources (ids 103 to 120), compiled in as UTF-8 and
// handed out as wide texts like LoadStringW does.
#pragma once

#include <cstdint>

// Copies string `id` into `buffer` (cut to `capacity` - 1 characters,
// always terminated). Returns the number of characters copied; 0 when the
// id is unknown or the buffer has no room.
int LoadStringResource(uint32_t id, wchar_t* buffer, int capacity);

enum StringId : uint32_t {
    IDS_TITLE = 103,
    IDS_UPDATE_INFO_INVALID = 104,
    IDS_NEED_64BIT = 105,
    IDS_CREATE_MARK_FAILED = 110,
    IDS_UPDATE_FAILED = 113,
    IDS_START_LAUNCHER_FAILED = 117,
    IDS_SERVER_ADDRESS_FAILED = 120,
};
