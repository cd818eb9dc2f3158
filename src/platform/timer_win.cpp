// The build takes this file on Windows only; the guard keeps it empty where a
// folder-wide source list also hands it to another system's compiler.
#ifdef _WIN32

#include <windows.h>
// windows.h first: mmsystem.h needs its types.
#include <mmsystem.h>

#include <atomic>

#include "platform/timer.h"
#include "platform/timer_thread.h"

namespace platform {

namespace detail {

// SetThreadDescription is looked up: systems before Windows 10 lack it, and
// the name is only a help for debuggers.
void nameTimerThread() {
    using Fn = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    const FARPROC found = kernel != nullptr ? ::GetProcAddress(kernel, "SetThreadDescription") : nullptr;
    if (found != nullptr) reinterpret_cast<Fn>(reinterpret_cast<void*>(found))(::GetCurrentThread(), L"timer");
}

}  // namespace detail

namespace {

// The running timers are the system's multimedia timers (timeSetEvent). Their
// callbacks all run on the system's one timer thread, one at a time, as
// timer.h promises. The ids handed out are this file's own, so that a
// callback that comes before timeSetEvent has returned still finds its proc.
class MultimediaTimers {
public:
    static MultimediaTimers& instance() {
        static MultimediaTimers timers;
        return timers;
    }

    uint32_t start(uint32_t periodMs, TimerProc proc) {
        uint32_t id;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            id = ++m_lastId;
            if (id == 0) id = ++m_lastId;  // wrapped around; 0 means failure
            m_procs[id] = std::make_shared<TimerProc>(std::move(proc));
        }
        const UINT period = periodMs == 0 ? 1 : periodMs;
        // TIME_KILL_SYNCHRONOUS: no call comes after timeKillEvent returns.
        const MMRESULT timer = ::timeSetEvent(period, 0, &MultimediaTimers::callback, id,
                                              TIME_PERIODIC | TIME_CALLBACK_FUNCTION | TIME_KILL_SYNCHRONOUS);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (timer == 0) {
            m_procs.erase(id);
            return 0;
        }
        m_systemIds[id] = timer;
        return id;
    }

    bool stop(uint32_t id) {
        UINT timer = 0;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            const auto it = m_systemIds.find(id);
            if (it == m_systemIds.end()) return false;
            timer = it->second;
            m_systemIds.erase(it);
            m_procs.erase(id);
        }
        ::timeKillEvent(timer);
        // From the timer thread (a callback stopping a timer) return at once;
        // from any other, wait for a call of this timer that is running.
        std::unique_lock<std::mutex> lock(m_mutex);
        if (::GetCurrentThreadId() == m_callbackThread) return true;
        m_callbackDone.wait(lock, [&] { return m_runningId != id; });
        return true;
    }

private:
    static void CALLBACK callback(UINT, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR) {
        instance().run(static_cast<uint32_t>(user));
    }

    void run(uint32_t id) {
        std::shared_ptr<TimerProc> proc;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_callbackThread = ::GetCurrentThreadId();
            const auto it = m_procs.find(id);
            if (it == m_procs.end()) return;  // stopped meanwhile
            proc = it->second;
            m_runningId = id;
        }
        try {
            (*proc)(id);
        } catch (...) {
            // A callback's failure must not take the other timers down.
        }
        proc.reset();
        std::lock_guard<std::mutex> lock(m_mutex);
        m_runningId = 0;
        m_callbackDone.notify_all();
    }

    std::mutex m_mutex;
    std::condition_variable m_callbackDone;
    std::map<uint32_t, std::shared_ptr<TimerProc>> m_procs;
    std::map<uint32_t, UINT> m_systemIds;
    uint32_t m_lastId = 0;
    uint32_t m_runningId = 0;
    DWORD m_callbackThread = 0;
};

// Set by the test seam before any timer starts: from then on the timers run
// on the portable timer thread and its frozen clock.
std::atomic<bool> g_manualClock{false};

}  // namespace

uint32_t startPeriodicTimer(uint32_t periodMs, TimerProc proc) {
    if (g_manualClock.load()) return detail::TimerThread::instance().start(periodMs, std::move(proc));
    return MultimediaTimers::instance().start(periodMs, std::move(proc));
}

bool stopTimer(uint32_t timerId) {
    if (timerId == 0) return false;
    if (g_manualClock.load()) return detail::TimerThread::instance().stop(timerId);
    return MultimediaTimers::instance().stop(timerId);
}

void useManualTimerClockForTesting() {
    detail::TimerThread::instance().useManualClock();
    g_manualClock.store(true);
}

void advanceTimerClockForTesting(uint32_t milliseconds) { detail::TimerThread::instance().advance(milliseconds); }

}  // namespace platform

#endif  // _WIN32
