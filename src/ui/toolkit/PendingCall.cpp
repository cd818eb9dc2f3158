#include "ui/toolkit/PendingCall.h"

namespace ui {

void PendingCall::run(const std::function<intptr_t()>& work) {
    {
        std::lock_guard lock(m_mutex);
        if (m_state != State::Queued) return;  // the caller gave up
        m_state = State::Running;
    }
    const intptr_t result = work();
    std::lock_guard lock(m_mutex);
    m_result = result;
    m_state = State::Done;
    m_wake.notify_all();
}

void PendingCall::drop() {
    std::lock_guard lock(m_mutex);
    if (m_state != State::Queued) return;
    m_state = State::Dropped;
    m_wake.notify_all();
}

CallResult PendingCall::wait(std::stop_token stop, intptr_t* out) {
    std::unique_lock lock(m_mutex);
    const bool finished =
        m_wake.wait(lock, stop, [&] { return m_state == State::Done || m_state == State::Dropped; });
    if (!finished) {
        // Still queued: it must not run later on behalf of a caller that has
        // gone on. Already running (a box on screen): it finishes on its own
        // and its result is dropped.
        if (m_state == State::Queued) m_state = State::Abandoned;
        return CallResult::Interrupted;
    }
    if (m_state == State::Dropped) return CallResult::Gone;
    if (out != nullptr) *out = m_result;
    return CallResult::Done;
}

}  // namespace ui
