// The build takes this file on Windows only; the guard keeps it empty where a
// folder-wide source list also hands it to another system's compiler.
#ifdef _WIN32

#include <windows.h>

#include <chrono>

#include "platform/sync_system.h"

// The events are the process's own, not named kernel objects: a named event
// in the session's namespace could be set by any other program running
// there, and would end a wait (the launcher connect above all) before its
// time. Nothing outside this process waits on them, so a name would only
// add that exposure.

namespace platform::detail {

namespace {

// No std::stop_callback wakes the wait: this toolchain's C++ library can
// lose the wake-up that a stop_callback's destructor waits for while its
// callback runs on the requesting thread (its atomic wait reads the value
// before it takes its lock), and the waiting thread then hangs for good
// after its wait is over. A wait that can be stopped looks at the request
// every kStopSlice instead, so a request ends it within that time.
constexpr std::chrono::milliseconds kStopSlice{20};

}  // namespace

WaitResult waitOn(std::mutex& mutex, std::condition_variable& cv, uint32_t timeoutMs, const std::stop_token& stop,
                  const std::function<bool()>& ready) {
    std::unique_lock<std::mutex> lock(mutex);
    const bool timed = timeoutMs != kInfinite;
    const bool stoppable = stop.stop_possible();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timed ? timeoutMs : 0);
    for (;;) {
        if (ready()) return WaitResult::Signaled;
        if (stop.stop_requested()) return WaitResult::Stopped;
        const auto now = std::chrono::steady_clock::now();
        if (timed && now >= deadline) return WaitResult::Timeout;
        if (!stoppable && !timed) {
            cv.wait(lock);
            continue;
        }
        auto until = stoppable ? now + kStopSlice : deadline;
        if (timed && deadline < until) until = deadline;
        cv.wait_until(lock, until);
    }
}

// SetThreadDescription is looked up: systems before Windows 10 lack it.
void nameThisThread(const std::string& name) {
    using Fn = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    const FARPROC found = kernel != nullptr ? ::GetProcAddress(kernel, "SetThreadDescription") : nullptr;
    if (found == nullptr) return;
    // The names are ASCII, so each character widens as it is.
    const std::wstring wide(name.begin(), name.end());
    reinterpret_cast<Fn>(reinterpret_cast<void*>(found))(::GetCurrentThread(), wide.c_str());
}

void setStartFailure(StartFailure failure, int) {
    switch (failure) {
        case StartFailure::Busy: ::SetLastError(ERROR_BUSY); break;
        // What CreateThread reports when it cannot have a stack.
        case StartFailure::Refused: ::SetLastError(ERROR_NOT_ENOUGH_MEMORY); break;
        // The library reports an errno value, which GetLastError callers
        // cannot read; the system's own failure is the lack of resources.
        case StartFailure::System: ::SetLastError(ERROR_NO_SYSTEM_RESOURCES); break;
        case StartFailure::Memory: ::SetLastError(ERROR_NOT_ENOUGH_MEMORY); break;
    }
}

}  // namespace platform::detail

#endif  // _WIN32
