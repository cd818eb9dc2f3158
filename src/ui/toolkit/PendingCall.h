// A call handed to the UI thread by a thread that waits for it, the way a
// window message is sent across threads, except that the waiting thread's
// stop request also ends the wait. Each backend carries the call to its UI
// thread in its own way (a queued Qt call, a posted window message); what
// the two threads agree on is here.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stop_token>

namespace ui {

enum class CallResult {
    Done,         // the work ran; its result is in `out`
    Interrupted,  // `stop` was raised first; the work will not run any more
    Gone,         // the window was destroyed (or never existed) before it ran
};

class PendingCall {
public:
    // The UI thread's side: runs `work` and hands its result to the caller,
    // unless the caller has given up already.
    void run(const std::function<intptr_t()>& work);
    // The UI thread's side when the call will never run (its window is
    // going away): a caller still waiting learns it at once.
    void drop();
    // The caller's side: waits until the call has run or was dropped, or
    // until `stop`. Waits without a time-out: `stop` is the way out when the
    // UI thread no longer handles anything.
    CallResult wait(std::stop_token stop, intptr_t* out);

private:
    std::mutex m_mutex;
    std::condition_variable_any m_wake;
    enum class State { Queued, Running, Done, Abandoned, Dropped } m_state = State::Queued;
    intptr_t m_result = 0;
};

}  // namespace ui
