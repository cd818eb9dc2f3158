// Wall-clock time broken down like the Windows SYSTEMTIME, in the local time
// zone. Callable from any thread.
#pragma once

#include <cstdint>

namespace platform {

struct LocalTime {
    uint16_t year;
    uint16_t month;
    uint16_t day;
    uint16_t hour;
    uint16_t minute;
    uint16_t second;
    uint16_t milliseconds;
};

LocalTime localTimeNow();

// Monotonic milliseconds, for time-outs and pacing only.
uint64_t monotonicMilliseconds();

}  // namespace platform
