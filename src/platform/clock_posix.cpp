#include "platform/clock.h"

#include <ctime>

namespace platform {

LocalTime localTimeNow() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm parts{};
    localtime_r(&ts.tv_sec, &parts);
    LocalTime t{};
    t.year = static_cast<uint16_t>(parts.tm_year + 1900);
    t.month = static_cast<uint16_t>(parts.tm_mon + 1);
    t.day = static_cast<uint16_t>(parts.tm_mday);
    t.hour = static_cast<uint16_t>(parts.tm_hour);
    t.minute = static_cast<uint16_t>(parts.tm_min);
    t.second = static_cast<uint16_t>(parts.tm_sec);
    t.milliseconds = static_cast<uint16_t>(ts.tv_nsec / 1000000);
    return t;
}

uint64_t monotonicMilliseconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

}  // namespace platform
