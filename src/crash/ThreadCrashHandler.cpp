#include "crash/ThreadCrashHandler.h"

// Crash reporting is not installed for the process yet, so the per-thread
// operations have nothing to do.
void installThreadCrashHandler() {}
void uninstallThreadCrashHandler() {}
