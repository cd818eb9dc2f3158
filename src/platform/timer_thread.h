// The timer thread behind timer.h, the same on every system: the whole of
// the timers on POSIX, and the manual-clock test seam on Windows, whose
// running timers are the system's multimedia timers. Nothing outside
// src/platform includes this.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/clock.h"
#include "platform/timer.h"

namespace platform::detail {

// Gives the calling thread (the timer thread) its name in the system's tools.
void nameTimerThread();

class TimerThread {
public:
    static TimerThread& instance() {
        static TimerThread timers;
        return timers;
    }

    ~TimerThread() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_quit = true;
            m_wake.notify_all();
        }
        if (m_thread.joinable()) m_thread.join();
    }

    uint32_t start(uint32_t periodMs, TimerProc proc) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_thread.joinable()) {
            try {
                m_thread = std::thread([this] { run(); });
            } catch (const std::system_error&) {
                return 0;
            }
        }
        uint32_t id = ++m_lastId;
        if (id == 0) id = ++m_lastId;  // wrapped around; 0 means failure
        const uint32_t period = periodMs == 0 ? 1 : periodMs;
        m_timers[id] = Entry{period, nowLocked() + period, std::make_shared<TimerProc>(std::move(proc))};
        m_wake.notify_all();
        return id;
    }

    bool stop(uint32_t id) {
        std::unique_lock<std::mutex> lock(m_mutex);
        const bool known = m_timers.erase(id) > 0;
        if (std::this_thread::get_id() == m_thread.get_id()) return known;
        m_callbackDone.wait(lock, [&] { return m_runningId != id; });
        return known;
    }

    void useManualClock() {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_manual) return;
        m_manualNow = monotonicMilliseconds();
        m_manual = true;
    }

    void advance(uint32_t ms) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_manualNow += ms;
        const uint64_t request = ++m_advanceRequested;
        m_wake.notify_all();
        if (!m_thread.joinable()) return;  // no timers, nothing can be due
        m_callbackDone.wait(lock, [&] { return m_advanceSettled >= request || m_quit; });
    }

private:
    struct Entry {
        uint32_t period;
        uint64_t due;
        std::shared_ptr<TimerProc> proc;
    };

    uint64_t nowLocked() const { return m_manual ? m_manualNow : monotonicMilliseconds(); }

    void run() {
        nameTimerThread();
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_quit) {
            const uint64_t now = nowLocked();
            auto next = m_timers.end();
            for (auto it = m_timers.begin(); it != m_timers.end(); ++it) {
                if (next == m_timers.end() || it->second.due < next->second.due) next = it;
            }
            if (next == m_timers.end() || next->second.due > now) {
                // Nothing due at this reading: an advance of the manual clock
                // that asked for a pass is complete.
                m_advanceSettled = m_advanceRequested;
                m_callbackDone.notify_all();
                if (next == m_timers.end() || m_manual) {
                    m_wake.wait(lock);
                } else {
                    m_wake.wait_for(lock, std::chrono::milliseconds(next->second.due - now));
                }
                continue;
            }
            const uint32_t id = next->first;
            Entry& entry = next->second;
            entry.due += entry.period;
            if (entry.due <= now) entry.due = now + entry.period;
            std::shared_ptr<TimerProc> proc = entry.proc;
            m_runningId = id;
            lock.unlock();
            try {
                (*proc)(id);
            } catch (...) {
                // A callback's failure must not take the other timers down.
            }
            proc.reset();
            lock.lock();
            m_runningId = 0;
            m_callbackDone.notify_all();
        }
        m_callbackDone.notify_all();
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;          // new timer, clock moved, quit
    std::condition_variable m_callbackDone;  // a callback returned, a pass settled
    std::map<uint32_t, Entry> m_timers;
    std::thread m_thread;
    uint32_t m_lastId = 0;
    uint32_t m_runningId = 0;
    bool m_quit = false;
    bool m_manual = false;
    uint64_t m_manualNow = 0;
    uint64_t m_advanceRequested = 0;
    uint64_t m_advanceSettled = 0;
};

}  // namespace platform::detail
