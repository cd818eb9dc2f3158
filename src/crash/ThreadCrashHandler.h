// The per-thread half of crash reporting, callable from every layer: each
// worker-side thread procedure and timer callback installs the crash
// handlers for its thread on entry and removes them on every way out. Both
// do nothing while crash reporting is not installed for the process.
//
// Threads: any; each call acts on the calling thread only.
#pragma once

void installThreadCrashHandler();
void uninstallThreadCrashHandler();

// Installs on construction and removes on destruction, so that no way out
// of a thread procedure or callback forgets the removal.
class ThreadCrashScope {
public:
    ThreadCrashScope() { installThreadCrashHandler(); }
    ~ThreadCrashScope() { uninstallThreadCrashHandler(); }
    ThreadCrashScope(const ThreadCrashScope&) = delete;
    ThreadCrashScope& operator=(const ThreadCrashScope&) = delete;
};
