#include "ui/toolkit/win32/UiThread.h"

#include <memory>

namespace ui {

namespace {

// What the window's thread receives: the caller may have returned (stopped)
// by the time it runs, so the work and the call are owned here.
struct PostedCall {
    std::shared_ptr<PendingCall> call;
    std::function<intptr_t()> work;
};

}  // namespace

CallResult callOnUiThread(HWND target, std::function<intptr_t()> work, std::stop_token stop, intptr_t* out) {
    if (target == nullptr || !::IsWindow(target)) return CallResult::Gone;
    if (::GetWindowThreadProcessId(target, nullptr) == ::GetCurrentThreadId()) {
        const intptr_t result = work();
        if (out != nullptr) *out = result;
        return CallResult::Done;
    }
    auto call = std::make_shared<PendingCall>();
    auto posted = std::make_unique<PostedCall>(PostedCall{call, std::move(work)});
    if (!::PostMessageW(target, kWmRunCall, 0, reinterpret_cast<LPARAM>(posted.get()))) return CallResult::Gone;
    // The window's thread owns it from here (runPostedCall frees it).
    posted.release();
    return call->wait(std::move(stop), out);
}

void runPostedCall(LPARAM posted, bool run) {
    const std::unique_ptr<PostedCall> owned(reinterpret_cast<PostedCall*>(posted));
    if (run) {
        owned->call->run(owned->work);
    } else {
        owned->call->drop();
    }
}

void dropPostedCalls(HWND window) {
    MSG msg;
    while (::PeekMessageW(&msg, window, kWmRunCall, kWmRunCall, PM_REMOVE)) runPostedCall(msg.lParam, false);
}

}  // namespace ui
