#include <pthread.h>

#include <cerrno>
#include <chrono>

#include "platform/error.h"
#include "platform/sync_system.h"

namespace platform::detail {

// The stop callback takes the waiter's mutex before it notifies, so a
// request raised between the waiter's last check and its sleep is never
// lost. The callback is made before the lock is taken and destroyed after it
// is released: it may run at once (stop already requested), and its
// destructor waits for a running callback, which needs the mutex.
WaitResult waitOn(std::mutex& mutex, std::condition_variable& cv, uint32_t timeoutMs, const std::stop_token& stop,
                  const std::function<bool()>& ready) {
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

void nameThisThread(const std::string& name) {
    // The kernel keeps 15 characters of a thread name.
    pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

void setStartFailure(StartFailure failure, int code) {
    switch (failure) {
        case StartFailure::Busy: setLastError(EBUSY); break;
        case StartFailure::Refused: setLastError(EAGAIN); break;
        case StartFailure::System: setLastError(code); break;
        case StartFailure::Memory: setLastError(ENOMEM); break;
    }
}

}  // namespace platform::detail
