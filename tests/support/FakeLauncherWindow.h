// A scripted stand-in for the progress window: records every operation the
// update worker calls, answers IsRunning / IsLauncherRunning as the test
// says, plays the user confirming each warning at once, and can play the
// user clicking the close button at a scripted moment.
//
// Threads: every member may be called from any thread at once. Blocking
// sends (all but IsRunning) return at once, unless the test holds them with
// holdSends, which makes them wait for the termination request as the real
// window's sends do once its loop has ended.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "upgrade/LauncherWindow.h"

namespace testsupport {

class FakeLauncherWindow : public LauncherWindow {
public:
    enum class LauncherAnswer {
        Probe,  // as the real window: the launcher marker is held (or the probe failed)
        Yes,
        No,
    };

    bool IsRunning() const override { return m_running.load(); }
    void SetProgress(uint32_t value, std::stop_token stop) override;
    void ShowWarning(uint32_t id, std::stop_token stop) override;
    bool IsLauncherRunning(std::stop_token stop) override;
    void Hide(std::stop_token stop) override;
    int32_t Close(std::stop_token stop) override;

    // Script.
    void setLauncherAnswer(LauncherAnswer answer) { m_answer.store(answer); }
    // The user clicks X once the bar shows at least `value`.
    void closeAtProgress(uint32_t value) { m_closeAtProgress.store(value); }
    // The user clicks X on the `n`-th IsLauncherRunning call (1 = first).
    void closeAtLauncherQuery(int n) { m_closeAtQuery.store(n); }
    // Runs on every warning, on the worker's thread, before it is confirmed.
    void onWarning(std::function<void(int32_t)> hook);
    // Blocking sends wait for the termination request from now on.
    void holdSends(bool hold) { m_hold.store(hold); }
    // Plays the user clicking X: the running flag turns false.
    void clickClose();

    // Records: "ShowWarning 104", "IsLauncherRunning", "Hide", "Close", in order
    // (SetProgress is counted, not listed).
    std::vector<std::string> calls() const;
    std::vector<uint32_t> warnings() const;
    uint32_t lastProgress() const { return m_lastProgress.load(); }
    uint32_t progressCalls() const { return m_progressCalls.load(); }
    bool hidden() const { return m_hidden.load(); }
    // Waits until Close was called; false after `timeout`.
    bool waitClosed(std::chrono::milliseconds timeout = std::chrono::seconds(60));

private:
    void record(std::string call);
    // False when the termination request ended a held send.
    bool hold(std::stop_token& stop);

    std::atomic<bool> m_running{true};
    std::atomic<LauncherAnswer> m_answer{LauncherAnswer::Probe};
    std::atomic<uint32_t> m_closeAtProgress{0xFFFFFFFFu};
    std::atomic<int> m_closeAtQuery{0};
    std::atomic<int> m_queries{0};
    std::atomic<bool> m_hold{false};
    std::atomic<bool> m_hidden{false};
    std::atomic<uint32_t> m_lastProgress{0};
    std::atomic<uint32_t> m_progressCalls{0};

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_calls;
    std::vector<uint32_t> m_warnings;
    std::function<void(int32_t)> m_warningHook;
    bool m_closed = false;
};

}  // namespace testsupport
