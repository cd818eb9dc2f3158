#include "platform/timer.h"

#include <pthread.h>

#include "platform/timer_thread.h"

namespace platform {

namespace detail {

void nameTimerThread() { pthread_setname_np(pthread_self(), "timer"); }

}  // namespace detail

using detail::TimerThread;

uint32_t startPeriodicTimer(uint32_t periodMs, TimerProc proc) {
    return TimerThread::instance().start(periodMs, std::move(proc));
}

bool stopTimer(uint32_t timerId) {
    if (timerId == 0) return false;
    return TimerThread::instance().stop(timerId);
}

void useManualTimerClockForTesting() { TimerThread::instance().useManualClock(); }

void advanceTimerClockForTesting(uint32_t milliseconds) { TimerThread::instance().advance(milliseconds); }

}  // namespace platform
