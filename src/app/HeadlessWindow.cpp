#include "app/HeadlessWindow.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "foundation/Log.h"
#include "platform/marker.h"
#include "platform/text.h"
#include "upgrade/LauncherWindow.h"

// From app/StringTable.h, whose enum names clash with the warning ids of
// LauncherWindow.h.
int LoadStringResource(uint32_t id, wchar_t* buffer, int capacity);

namespace {

constexpr ModuleLog kLog{"GameLauncher", L"GameLauncher"};

}  // namespace

class HeadlessWindow::Impl final : public LauncherWindow {
public:
    Impl() : m_mainThread(std::this_thread::get_id()) {}

    bool IsRunning() const override { return m_running.load(); }

    void SetProgress(uint32_t value, std::stop_token stop) override {
        send([this, value] { m_progress = value > kProgressFull ? kProgressFull : value; }, stop);
    }

    void ShowWarning(int32_t id, std::stop_token stop) override {
        send(
            [id] {
                wchar_t text[256] = {};
                LoadStringResource(static_cast<uint32_t>(id), text, 256);
                kLog.wide(900, L"Warning id:%d text:%s", static_cast<int>(id), text);
            },
            stop);
    }

    bool IsLauncherRunning(std::stop_token stop) override {
        switch (platform::probeMarker("MV3_LAUNCHER_KT")) {
            case platform::MarkerState::Free: return false;
            case platform::MarkerState::Held: return true;
            case platform::MarkerState::Failed: break;
        }
        ShowWarning(IDS_MARK_FAILED, stop);
        return true;
    }

    void Hide(std::stop_token stop) override {
        send([] {}, stop);
    }

    int32_t Close(std::stop_token stop) override {
        return send(
            [this] {
                m_running.store(false);
                m_quit = true;
            },
            stop);
    }

    void runLoop() {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_quit) {
            m_changed.wait(lock, [this] { return m_quit || !m_queue.empty(); });
            while (!m_queue.empty()) {
                auto job = std::move(m_queue.front());
                m_queue.pop_front();
                lock.unlock();
                job();
                lock.lock();
            }
        }
        m_loopEnded = true;
        // Sends that arrive from now on are never handled; they wait for the
        // termination request.
        m_changed.notify_all();
    }

private:
    // The window's handling runs on the main thread; from there a send runs
    // it directly, as SendMessageW does for the window's own thread.
    int32_t send(std::function<void()> handling, std::stop_token stop) {
        if (std::this_thread::get_id() == m_mainThread) {
            handling();
            return 0;
        }
        auto done = std::make_shared<bool>(false);
        // Registered before the lock is taken: a stop raised already runs
        // the callback right here.
        std::stop_callback wake(stop, [this] {
            std::lock_guard<std::mutex> g(m_mutex);
            m_changed.notify_all();
        });
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_loopEnded) {
            m_queue.emplace_back([this, done, handling = std::move(handling)] {
                handling();
                std::lock_guard<std::mutex> g(m_mutex);
                *done = true;
                m_changed.notify_all();
            });
            m_changed.notify_all();
        }
        m_changed.wait(lock, [&] { return *done || stop.stop_requested(); });
        return *done ? 0 : kSendInterrupted;
    }

    const std::thread::id m_mainThread;
    std::atomic<bool> m_running{true};
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::function<void()>> m_queue;
    bool m_quit = false;
    bool m_loopEnded = false;
    uint32_t m_progress = 0;
};

HeadlessWindow::HeadlessWindow() : m_impl(std::make_unique<Impl>()) {}
HeadlessWindow::~HeadlessWindow() = default;
LauncherWindow* HeadlessWindow::window() { return m_impl.get(); }
void HeadlessWindow::runMessageLoop() { m_impl->runLoop(); }
