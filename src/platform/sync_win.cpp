// The build takes this file on Windows only; the guard keeps it empty where a
// folder-wide source list also hands it to another system's compiler.
#ifdef _WIN32

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <system_error>

#include "platform/sync.h"

namespace platform {

// The events are the process's own, not named kernel objects: a named event
// in the session's namespace could be set by any other program running
// there, and would end a wait (the launcher connect above all) before its
// time. Nothing outside this process waits on them, so a name would only
// add that exposure. A Thread is the system's thread (CreateThread under
// the C++ library); its completion event carries the exit code.

namespace {

std::atomic<ThreadStartHook> g_threadStartHook{nullptr};

// Names the calling thread as Linux names it (a debugger shows it, and the
// tests count a download's threads by it). SetThreadDescription is looked
// up: systems before Windows 10 lack it.
void nameThisThread(const std::wstring& name) {
    using Fn = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    const FARPROC found = kernel != nullptr ? ::GetProcAddress(kernel, "SetThreadDescription") : nullptr;
    if (found != nullptr) reinterpret_cast<Fn>(reinterpret_cast<void*>(found))(::GetCurrentThread(), name.c_str());
}

// Waits on `cv` until `ready()` holds, the time is up or `stop` is requested.
// No std::stop_callback wakes the wait: this toolchain's C++ library can
// lose the wake-up that a stop_callback's destructor waits for while its
// callback runs on the requesting thread (its atomic wait reads the value
// before it takes its lock), and the waiting thread then hangs for good
// after its wait is over. A wait that can be stopped looks at the request
// every kStopSlice instead, so a request ends it within that time.
constexpr std::chrono::milliseconds kStopSlice{20};

template <typename Ready>
WaitResult waitOn(std::mutex& mutex, std::condition_variable& cv, uint32_t timeoutMs, const std::stop_token& stop,
                  Ready ready) {
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

}  // namespace

void AutoResetEvent::set() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_signaled = true;
    m_changed.notify_one();
}

void AutoResetEvent::reset() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_signaled = false;
}

WaitResult AutoResetEvent::wait(uint32_t timeoutMs, std::stop_token stop) {
    return waitOn(m_mutex, m_changed, timeoutMs, stop, [this] {
        if (!m_signaled) return false;
        m_signaled = false;
        return true;
    });
}

void ManualResetEvent::set() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_signaled = true;
    m_changed.notify_all();
}

void ManualResetEvent::reset() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_signaled = false;
}

bool ManualResetEvent::isSet() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_signaled;
}

WaitResult ManualResetEvent::wait(uint32_t timeoutMs, std::stop_token stop) {
    return waitOn(m_mutex, m_changed, timeoutMs, stop, [this] { return m_signaled; });
}

bool sleepFor(uint32_t milliseconds, std::stop_token stop) {
    std::mutex mutex;
    std::condition_variable cv;
    return waitOn(mutex, cv, milliseconds, stop, [] { return false; }) == WaitResult::Timeout;
}

Thread::~Thread() {
    join();
}

bool Thread::start(const char* name, Procedure procedure) {
    if (m_thread.joinable()) {
        ::SetLastError(ERROR_BUSY);
        return false;
    }
    const ThreadStartHook hook = g_threadStartHook.load();
    if (hook != nullptr && !hook(name)) {
        // What CreateThread reports when it cannot have a stack.
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    m_done.reset();
    // The names are ASCII, so each character widens as it is.
    const std::string narrow = name != nullptr ? name : "";
    std::wstring wideName(narrow.begin(), narrow.end());
    try {
        m_thread = std::thread([this, proc = std::move(procedure), wideName] {
            if (!wideName.empty()) nameThisThread(wideName);
            m_exitCode = proc();
            m_done.set();
        });
    } catch (const std::system_error&) {
        // The library reports an errno value, which GetLastError callers
        // cannot read; the system's own failure is the lack of resources.
        ::SetLastError(ERROR_NO_SYSTEM_RESOURCES);
        return false;
    } catch (const std::bad_alloc&) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    return true;
}

WaitResult Thread::wait(uint32_t timeoutMs, std::stop_token stop) {
    if (!m_thread.joinable()) return WaitResult::Signaled;
    return m_done.wait(timeoutMs, std::move(stop));
}

void Thread::join() {
    if (m_thread.joinable()) m_thread.join();
}

bool Thread::exitCode(uint32_t& out) const {
    if (!m_done.isSet()) return false;
    out = m_exitCode;
    return true;
}

void setThreadStartHookForTesting(ThreadStartHook hook) {
    g_threadStartHook.store(hook);
}

}  // namespace platform

#endif  // _WIN32
