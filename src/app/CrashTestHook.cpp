#include "app/CrashTestHook.h"

#ifdef GL_TEST_HOOKS

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "app/AppLog.h"
#include "foundation/Log.h"

namespace {
constexpr const ModuleLog& kLog = kCrashReportLog;
}

// Without the undefined-behaviour checks, so that a sanitizer build crashes
// by the signal as a release build would, instead of stopping at the check.
__attribute__((no_sanitize("undefined"))) void runCrashTestHook() {
    const char* way = std::getenv("GL_TEST_CRASH");
    if (way == nullptr || way[0] == '\0') return;
    kLog(900, "test crash %s", way);
    if (std::strcmp(way, "abort") == 0) std::abort();
    if (std::strcmp(way, "terminate") == 0) std::terminate();
    if (std::strcmp(way, "fpe") == 0) {
        // Both operands unknown to the compiler: "1 / x" it turns into a
        // comparison that never traps.
        volatile int dividend = 7;
        volatile int zero = 0;
        volatile int quotient = dividend / zero;
        (void)quotient;
    }
    // segv, and any way not known: a write through a null pointer.
    volatile int* volatile nowhere = nullptr;
    *nowhere = 1;
    std::abort();
}

#endif
