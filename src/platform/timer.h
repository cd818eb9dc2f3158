// Periodic timers, the counterpart of the Windows multimedia timers
// (timeSetEvent with TIME_PERIODIC, timeKillEvent).
//
// One process-wide timer thread, started with the first timer, runs the
// callbacks of every timer in turn, never two at once; a slow callback delays
// the others. The first call comes one period after the start; a timer that
// falls behind is not called in a burst to catch up.
//
// Stopping: stopTimer from inside a callback (any timer's, on the timer
// thread) returns at once and the stopped timer is not called again. From any
// other thread it also waits until a callback of that timer that is running
// has returned, so after it returns the callback's data may be released.
#pragma once

#include <cstdint>
#include <functional>

namespace platform {

using TimerProc = std::function<void(uint32_t timerId)>;

// Starts a periodic timer of `periodMs` milliseconds (at least 1). Returns its
// id, never 0; 0 when the timer thread cannot be started.
uint32_t startPeriodicTimer(uint32_t periodMs, TimerProc proc);

// False when `timerId` names no running timer (already stopped, or 0).
bool stopTimer(uint32_t timerId);

// Test seam: freezes the timers' clock at its current reading; from then on
// only advanceTimerClockForTesting moves it. Call before starting timers.
void useManualTimerClockForTesting();
// Moves the frozen clock forward and returns once every callback that became
// due has run.
void advanceTimerClockForTesting(uint32_t milliseconds);

}  // namespace platform
