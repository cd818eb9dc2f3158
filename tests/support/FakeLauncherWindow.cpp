#include "support/FakeLauncherWindow.h"

#include <condition_variable>

#include "gamelauncher/LauncherProtocol.h"
#include "platform/marker.h"

namespace testsupport {

void FakeLauncherWindow::record(std::string call) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.push_back(std::move(call));
}

bool FakeLauncherWindow::hold(std::stop_token& stop) {
    if (!m_hold.load()) return true;
    std::mutex mutex;
    std::condition_variable_any cv;
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait(lock, stop, [] { return false; });
    return false;
}

void FakeLauncherWindow::SetProgress(uint32_t value, std::stop_token stop) {
    if (!hold(stop)) return;
    m_lastProgress.store(value > kProgressFull ? kProgressFull : value);
    m_progressCalls.fetch_add(1);
    if (value >= m_closeAtProgress.load()) clickClose();
}

void FakeLauncherWindow::ShowWarning(uint32_t id, std::stop_token stop) {
    std::function<void(int32_t)> hook;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_calls.push_back("ShowWarning " + std::to_string(id));
        m_warnings.push_back(id);
        hook = m_warningHook;
    }
    if (hook) hook(id);
    hold(stop);
}

bool FakeLauncherWindow::IsLauncherRunning(std::stop_token stop) {
    record("IsLauncherRunning");
    const int n = m_queries.fetch_add(1) + 1;
    if (n == m_closeAtQuery.load()) clickClose();
    switch (m_answer.load()) {
        case LauncherAnswer::Yes: return true;
        case LauncherAnswer::No: return false;
        case LauncherAnswer::Probe: break;
    }
    switch (platform::probeMarker(launcherprotocol::kLauncherMarker)) {
        case platform::MarkerState::Free: return false;
        case platform::MarkerState::Held: return true;
        case platform::MarkerState::Failed: break;
    }
    ShowWarning(IDS_MARK_FAILED, stop);
    return true;
}

void FakeLauncherWindow::Hide(std::stop_token stop) {
    record("Hide");
    if (!hold(stop)) return;
    m_hidden.store(true);
}

int32_t FakeLauncherWindow::Close(std::stop_token stop) {
    record("Close");
    if (!hold(stop)) return kSendInterrupted;
    m_running.store(false);
    m_hidden.store(true);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_closed = true;
    m_changed.notify_all();
    return 0;
}

void FakeLauncherWindow::onWarning(std::function<void(int32_t)> hook) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_warningHook = std::move(hook);
}

void FakeLauncherWindow::clickClose() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.push_back("user closes");
    m_running.store(false);
}

std::vector<std::string> FakeLauncherWindow::calls() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
}

std::vector<uint32_t> FakeLauncherWindow::warnings() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_warnings;
}

bool FakeLauncherWindow::waitClosed(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [this] { return m_closed; });
}

}  // namespace testsupport
