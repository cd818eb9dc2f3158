// What the events and threads of sync.h need of the system: the wait that a
// stop request ends, the thread's name, and the last error of a failed start.
// Nothing outside sync*.cpp includes this.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stop_token>
#include <string>

#include "platform/sync.h"

namespace platform::detail {

// Waits on `cv` until `ready()` holds, the
// time is up (kInfinite: never) or `stop` is requested; a ready state wins
// over a stop raised at the same time.
WaitResult waitOn(std::mutex& mutex, std::condition_variable& cv, uint32_t timeoutMs, const std::stop_token& stop,
                  const std::function<bool()>& ready);

// Names the calling thread for debuggers and the tests that count threads.
void nameThisThread(const std::string& name);

enum class StartFailure {
    Busy,     // the Thread already runs one
    Refused,  // the test seam said no: what the system says without a thread
    System,   // the C++ library could not have one (`code`: its errno value)
    Memory,
};
void setStartFailure(StartFailure failure, int code = 0);

}  // namespace platform::detail
