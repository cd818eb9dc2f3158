// Events, interruptible waits and threads with an exit code (on Windows:
// CreateEventW/SetEvent, Sleep, WaitForSingleObject, CreateThread and
// GetExitCodeThread).
//
// Cancellation: no thread is ever killed. An owner that must end a thread
// early raises a termination request (a std::stop_source it keeps) and hands
// the matching std::stop_token to everything that waits; every wait below
// that takes a token ends at once when the request is raised (on Windows
// within 20 ms: sync_win.cpp says why), also when it was raised before the
// wait began.
//
// Threads: every object here may be used from any thread at once, except that
// a Thread is started, waited for and destroyed by its owner alone.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>

namespace platform {

enum class WaitResult {
    Signaled,  // the event was set (or the thread ended)
    Timeout,
    Stopped,   // the termination request was raised
};

inline constexpr uint32_t kInfinite = 0xFFFFFFFFu;

// An auto-reset event: set() lets exactly one wait through (the current or
// the next one) and the event resets itself as that wait returns. Setting an
// already set event changes nothing. `name` is kept for diagnostics only.
class AutoResetEvent {
public:
    explicit AutoResetEvent(std::string name = {}) : m_name(std::move(name)) {}
    AutoResetEvent(const AutoResetEvent&) = delete;
    AutoResetEvent& operator=(const AutoResetEvent&) = delete;

    void set();
    void reset();
    // Waits at most `timeoutMs` (kInfinite: no time-out) for the event, or
    // until `stop` is requested. A set event wins over a stop raised at the
    // same time, so a completion is never lost.
    WaitResult wait(uint32_t timeoutMs, std::stop_token stop = {});
    const std::string& name() const { return m_name; }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_signaled = false;
    std::string m_name;
};

// A manual-reset event: stays set until reset(); every wait passes while set.
class ManualResetEvent {
public:
    ManualResetEvent() = default;
    ManualResetEvent(const ManualResetEvent&) = delete;
    ManualResetEvent& operator=(const ManualResetEvent&) = delete;

    void set();
    void reset();
    bool isSet() const;
    WaitResult wait(uint32_t timeoutMs, std::stop_token stop = {});

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_signaled = false;
};

// Sleep that ends early on the termination request. True when the whole time
// passed, false when `stop` was (or already had been) requested.
bool sleepFor(uint32_t milliseconds, std::stop_token stop = {});

// A thread whose procedure returns an exit code, with a completion event that
// a wait with time-out can use. Never detached: the destructor joins a thread
// that is still running, so the owner must have made it stop first.
class Thread {
public:
    using Procedure = std::function<uint32_t()>;

    Thread() = default;
    ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Starts `procedure` on a new thread named `name` (shortened to what the
    // system keeps). False, with nothing started, when the system cannot give
    // a thread; the last error is set then.
    bool start(const char* name, Procedure procedure);
    bool started() const { return m_thread.joinable(); }
    // Waits for the procedure to return, at most `timeoutMs`, or until `stop`.
    // Signaled once it has returned (also for a thread that was never started:
    // there is nothing to wait for).
    WaitResult wait(uint32_t timeoutMs = kInfinite, std::stop_token stop = {});
    // Waits for the end without a time-out and releases the system thread.
    void join();
    // The procedure's result; false while it runs or when it never started.
    bool exitCode(uint32_t& out) const;

private:
    std::thread m_thread;
    ManualResetEvent m_done;
    uint32_t m_exitCode = 0;  // written by the thread before m_done is set
};

// Test seam for the failure of CreateThread: while a hook is installed,
// Thread::start asks it with the thread's name and fails (EAGAIN) when it
// answers false. Install it before any thread that starts threads runs.
using ThreadStartHook = bool (*)(const char* name);
void setThreadStartHookForTesting(ThreadStartHook hook);

}  // namespace platform
