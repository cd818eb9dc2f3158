// The build takes this file on Windows only; the guard keeps it empty where a
// folder-wide source list also hands it to another system's compiler.
#ifdef _WIN32

#include <windows.h>

#include "platform/clock.h"

namespace platform {

LocalTime localTimeNow() {
    SYSTEMTIME st{};
    ::GetLocalTime(&st);
    LocalTime t{};
    t.year = st.wYear;
    t.month = st.wMonth;
    t.day = st.wDay;
    t.hour = st.wHour;
    t.minute = st.wMinute;
    t.second = st.wSecond;
    t.milliseconds = st.wMilliseconds;
    return t;
}

// GetTickCount64 never wraps and, like CLOCK_MONOTONIC, ignores changes of the
// wall clock.
uint64_t monotonicMilliseconds() { return static_cast<uint64_t>(::GetTickCount64()); }

}  // namespace platform

#endif  // _WIN32
