#include "platform/sync.h"

#include <atomic>
#include <system_error>

#include "platform/sync_system.h"

namespace platform {

namespace {

std::atomic<ThreadStartHook> g_threadStartHook{nullptr};

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
    return detail::waitOn(m_mutex, m_changed, timeoutMs, stop, [this] {
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
    return detail::waitOn(m_mutex, m_changed, timeoutMs, stop, [this] { return m_signaled; });
}

bool sleepFor(uint32_t milliseconds, std::stop_token stop) {
    std::mutex mutex;
    std::condition_variable cv;
    return detail::waitOn(mutex, cv, milliseconds, stop, [] { return false; }) == WaitResult::Timeout;
}

Thread::~Thread() { join(); }

bool Thread::start(const char* name, Procedure procedure) {
    if (m_thread.joinable()) {
        detail::setStartFailure(detail::StartFailure::Busy);
        return false;
    }
    const ThreadStartHook hook = g_threadStartHook.load();
    if (hook != nullptr && !hook(name)) {
        detail::setStartFailure(detail::StartFailure::Refused);
        return false;
    }
    m_done.reset();
    std::string threadName = name != nullptr ? name : "";
    try {
        m_thread = std::thread([this, proc = std::move(procedure), threadName] {
            if (!threadName.empty()) detail::nameThisThread(threadName);
            m_exitCode = proc();
            m_done.set();
        });
    } catch (const std::system_error& e) {
        detail::setStartFailure(detail::StartFailure::System, e.code().value());
        return false;
    } catch (const std::bad_alloc&) {
        detail::setStartFailure(detail::StartFailure::Memory);
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
