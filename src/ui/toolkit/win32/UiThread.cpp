#include "ui/toolkit/win32/UiThread.h"

#include <condition_variable>
#include <memory>
#include <mutex>

namespace ui {

namespace {

struct PendingCall {
    std::mutex mutex;
    std::condition_variable_any wake;
    enum class State { Queued, Running, Done, Abandoned, Dropped } state = State::Queued;
    intptr_t result = 0;
    std::function<intptr_t()> work;
};

using PostedCall = std::shared_ptr<PendingCall>;

}  // namespace

CallResult callOnUiThread(HWND target, std::function<intptr_t()> work, std::stop_token stop, intptr_t* out) {
    if (target == nullptr || !::IsWindow(target)) return CallResult::Gone;
    if (::GetWindowThreadProcessId(target, nullptr) == ::GetCurrentThreadId()) {
        const intptr_t result = work();
        if (out != nullptr) *out = result;
        return CallResult::Done;
    }
    auto call = std::make_shared<PendingCall>();
    call->work = std::move(work);
    auto posted = std::make_unique<PostedCall>(call);
    if (!::PostMessageW(target, kWmRunCall, 0, reinterpret_cast<LPARAM>(posted.get()))) return CallResult::Gone;
    // The window's thread owns it from here (runPostedCall frees it).
    posted.release();

    std::unique_lock lock(call->mutex);
    const bool finished = call->wake.wait(lock, stop, [&] {
        return call->state == PendingCall::State::Done || call->state == PendingCall::State::Dropped;
    });
    if (!finished) {
        // Still queued: it must not run later for a caller that has gone on.
        // Already running (a box on screen): it finishes and its result is
        // dropped.
        if (call->state == PendingCall::State::Queued) call->state = PendingCall::State::Abandoned;
        return CallResult::Interrupted;
    }
    if (call->state == PendingCall::State::Dropped) return CallResult::Gone;
    if (out != nullptr) *out = call->result;
    return CallResult::Done;
}

void runPostedCall(LPARAM posted, bool run) {
    const std::unique_ptr<PostedCall> owned(reinterpret_cast<PostedCall*>(posted));
    PendingCall& call = **owned;
    {
        std::lock_guard lock(call.mutex);
        if (call.state != PendingCall::State::Queued) return;  // the caller gave up
        if (!run) {
            call.state = PendingCall::State::Dropped;
            call.wake.notify_all();
            return;
        }
        call.state = PendingCall::State::Running;
    }
    const intptr_t result = call.work();
    std::lock_guard lock(call.mutex);
    call.result = result;
    call.state = PendingCall::State::Done;
    call.wake.notify_all();
}

void dropPostedCalls(HWND window) {
    MSG msg;
    while (::PeekMessageW(&msg, window, kWmRunCall, kWmRunCall, PM_REMOVE)) runPostedCall(msg.lParam, false);
}

}  // namespace ui
