#include "platform/sync.h"

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>

#include "platform/error.h"

namespace platform {

namespace {

std::atomic<ThreadStartHook> g_threadStartHook{nullptr};

// Waits on `cv` until `ready()` holds, the time is up or `stop` is requested.
// The stop callback takes the waiter's mutex before it notifies, so a request
// raised between the waiter's last check and its sleep is never lost. The
// callback is made before the lock is taken and destroyed after it is
// released: it may run at once (stop already requested), and its destructor
// waits for a running callback, which needs the mutex.
template <typename Ready>
WaitResult waitOn(std::mutex& mutex, std::condition_variable& cv, uint32_t timeoutMs, const std::stop_token& stop,
                  Ready ready) {
    std::stop_callback wake(stop, [&] {
        std::lock_guard<std::mutex> lock(mutex);
        cv.notify_all();
    });
    std::unique_lock<std::mutex> lock(mutex);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (ready()) return WaitResult::Signaled;
        if (stop.stop_requested()) return WaitResult::Stopped;
        if (timeoutMs == kInfinite) {
            cv.wait(lock);
        } else if (cv.wait_until(lock, deadline) == std::cv_status::timeout) {
            if (ready()) return WaitResult::Signaled;
            if (stop.stop_requested()) return WaitResult::Stopped;
            return WaitResult::Timeout;
        }
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

Thread::~Thread() { join(); }

bool Thread::start(const char* name, Procedure procedure) {
    if (m_thread.joinable()) {
        setLastError(EBUSY);
        return false;
    }
    const ThreadStartHook hook = g_threadStartHook.load();
    if (hook != nullptr && !hook(name)) {
        setLastError(EAGAIN);
        return false;
    }
    m_done.reset();
    std::string shortName = name != nullptr ? name : "";
    // The kernel keeps 15 characters of a thread name.
    if (shortName.size() > 15) shortName.resize(15);
    try {
        m_thread = std::thread([this, proc = std::move(procedure), shortName] {
            if (!shortName.empty()) pthread_setname_np(pthread_self(), shortName.c_str());
            m_exitCode = proc();
            m_done.set();
        });
    } catch (const std::system_error& e) {
        setLastError(e.code().value());
        return false;
    } catch (const std::bad_alloc&) {
        setLastError(ENOMEM);
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

void setThreadStartHookForTesting(ThreadStartHook hook) { g_threadStartHook.store(hook); }

}  // namespace platform
