// The timer thread and the event/thread primitives of the platform layer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/error.h"
#include "platform/sync.h"
#include "platform/timer.h"

namespace {

struct Call {
    uint32_t timer;
    std::thread::id thread;
};

// The system's own timers (the multimedia timer on Windows, the timer
// thread's real clock elsewhere). First in the file: the cases below freeze
// the timers' clock for the rest of the process.
TEST(SystemTimerTest, CallsComeInTurnOnOneTimerThreadUntilStopped) {
    struct Timer {
        std::atomic<int> count{0};
        std::atomic<int> waitFor{3};
        platform::ManualResetEvent reached;
    };
    std::mutex mutex;
    std::vector<Call> calls;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    Timer timers[2];
    auto proc = [&](Timer& t) {
        return [&](uint32_t id) {
            if (inside.fetch_add(1) != 0) overlapped = true;
            {
                std::lock_guard<std::mutex> lock(mutex);
                calls.push_back({id, std::this_thread::get_id()});
            }
            if (++t.count == t.waitFor.load()) t.reached.set();
            inside.fetch_sub(1);
        };
    };
    const uint32_t a = platform::startPeriodicTimer(5, proc(timers[0]));
    const uint32_t b = platform::startPeriodicTimer(7, proc(timers[1]));
    ASSERT_NE(a, 0u);
    ASSERT_NE(b, 0u);
    EXPECT_NE(a, b);
    ASSERT_EQ(timers[0].reached.wait(30000), platform::WaitResult::Signaled);
    ASSERT_EQ(timers[1].reached.wait(30000), platform::WaitResult::Signaled);
    EXPECT_TRUE(platform::stopTimer(a));
    const int aAtStop = timers[0].count.load();
    // Calls come in turn: while the other timer is called three more
    // times, a timer that were still running would be called too.
    timers[1].reached.reset();
    timers[1].waitFor = timers[1].count.load() + 3;
    ASSERT_EQ(timers[1].reached.wait(30000), platform::WaitResult::Signaled);
    EXPECT_TRUE(platform::stopTimer(b));
    EXPECT_FALSE(platform::stopTimer(a));
    EXPECT_FALSE(platform::stopTimer(b));

    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(timers[0].count.load(), aAtStop);
    EXPECT_FALSE(overlapped);
    for (const Call& c : calls) {
        EXPECT_TRUE(c.timer == a || c.timer == b);
        EXPECT_EQ(c.thread, calls.front().thread);
        EXPECT_NE(c.thread, std::this_thread::get_id());
    }
}

TEST(TimerTest, PeriodicCallbacksRunInTurnOnOneThreadFromOnePeriodAfterStart) {
    platform::useManualTimerClockForTesting();
    std::mutex mutex;
    std::vector<Call> calls;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    auto record = [&](uint32_t id) {
        if (inside.fetch_add(1) != 0) overlapped = true;
        {
            std::lock_guard<std::mutex> lock(mutex);
            calls.push_back({id, std::this_thread::get_id()});
        }
        inside.fetch_sub(1);
    };
    const uint32_t a = platform::startPeriodicTimer(100, record);
    const uint32_t b = platform::startPeriodicTimer(250, record);
    ASSERT_NE(a, 0u);
    ASSERT_NE(b, 0u);
    ASSERT_NE(a, b);

    platform::advanceTimerClockForTesting(99);
    {
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_TRUE(calls.empty()) << "a timer fired before its first period was over";
    }
    platform::advanceTimerClockForTesting(1);
    for (int i = 0; i < 18; ++i) platform::advanceTimerClockForTesting(50);  // now at 1000 ms

    EXPECT_TRUE(platform::stopTimer(a));
    EXPECT_TRUE(platform::stopTimer(b));
    platform::advanceTimerClockForTesting(1000);

    std::lock_guard<std::mutex> lock(mutex);
    int countA = 0;
    int countB = 0;
    for (const auto& c : calls) {
        countA += c.timer == a;
        countB += c.timer == b;
        EXPECT_EQ(c.thread, calls.front().thread);
        EXPECT_NE(c.thread, std::this_thread::get_id());
    }
    EXPECT_EQ(countA, 10);  // 100, 200, ..., 1000
    EXPECT_EQ(countB, 4);   // 250, 500, 750, 1000
    EXPECT_FALSE(overlapped);
}

TEST(TimerTest, TimerStopsItselfFromItsOwnCallback) {
    platform::useManualTimerClockForTesting();
    std::atomic<int> calls{0};
    std::atomic<bool> stopAnswer{false};
    std::atomic<uint32_t> self{0};
    const uint32_t id = platform::startPeriodicTimer(10, [&](uint32_t timerId) {
        self = timerId;
        if (++calls == 3) stopAnswer = platform::stopTimer(timerId);
    });
    ASSERT_NE(id, 0u);
    for (int i = 0; i < 10; ++i) platform::advanceTimerClockForTesting(10);
    EXPECT_EQ(calls.load(), 3);
    EXPECT_TRUE(stopAnswer.load());
    EXPECT_EQ(self.load(), id);
    EXPECT_FALSE(platform::stopTimer(id)) << "the timer should be gone already";
    EXPECT_FALSE(platform::stopTimer(0));
}

TEST(TimerTest, StopFromAnotherThreadWaitsForTheRunningCallback) {
    platform::useManualTimerClockForTesting();
    platform::ManualResetEvent entered;
    platform::ManualResetEvent release;
    std::atomic<bool> finished{false};
    std::atomic<int> calls{0};
    const uint32_t id = platform::startPeriodicTimer(10, [&](uint32_t) {
        ++calls;
        entered.set();
        release.wait(platform::kInfinite);
        finished = true;
    });
    ASSERT_NE(id, 0u);
    std::thread clock([] { platform::advanceTimerClockForTesting(10); });
    ASSERT_EQ(entered.wait(30000), platform::WaitResult::Signaled);

    std::atomic<bool> finishedWhenStopReturned{false};
    std::thread stopper([&] {
        platform::stopTimer(id);
        finishedWhenStopReturned = finished.load();
    });
    // Give the stopper time to get into stopTimer; were it not to wait, it
    // would have returned before the callback is let go.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    release.set();
    stopper.join();
    clock.join();
    EXPECT_TRUE(finishedWhenStopReturned.load());
    platform::advanceTimerClockForTesting(100);
    EXPECT_EQ(calls.load(), 1);
}

TEST(SyncTest, AutoResetEventLetsOneWaitThroughPerSet) {
    platform::AutoResetEvent event("EvtTest");
    EXPECT_EQ(event.wait(0), platform::WaitResult::Timeout);
    event.set();
    event.set();  // still one
    EXPECT_EQ(event.wait(0), platform::WaitResult::Signaled);
    EXPECT_EQ(event.wait(0), platform::WaitResult::Timeout);
    EXPECT_EQ(event.name(), "EvtTest");

    std::thread setter([&] { event.set(); });
    EXPECT_EQ(event.wait(platform::kInfinite), platform::WaitResult::Signaled);
    setter.join();
}

TEST(SyncTest, TerminationRequestEndsEveryKindOfWait) {
    std::stop_source source;
    platform::AutoResetEvent event;
    platform::ManualResetEvent manual;
    std::atomic<int> stopped{0};
    std::vector<std::thread> waiters;
    waiters.emplace_back([&] { stopped += event.wait(platform::kInfinite, source.get_token()) == platform::WaitResult::Stopped; });
    waiters.emplace_back([&] { stopped += manual.wait(platform::kInfinite, source.get_token()) == platform::WaitResult::Stopped; });
    waiters.emplace_back([&] { stopped += !platform::sleepFor(600000, source.get_token()); });
    source.request_stop();
    for (auto& t : waiters) t.join();
    EXPECT_EQ(stopped.load(), 3);

    // A request raised before the wait ends it at once; a set event still wins.
    EXPECT_EQ(event.wait(platform::kInfinite, source.get_token()), platform::WaitResult::Stopped);
    event.set();
    EXPECT_EQ(event.wait(platform::kInfinite, source.get_token()), platform::WaitResult::Signaled);
    EXPECT_TRUE(platform::sleepFor(1));
}

TEST(SyncTest, ThreadCarriesItsExitCode) {
    platform::Thread thread;
    uint32_t code = 0;
    EXPECT_FALSE(thread.exitCode(code));
    platform::ManualResetEvent go;
    ASSERT_TRUE(thread.start("worker", [&] {
        go.wait(platform::kInfinite);
        return 404u;
    }));
    EXPECT_TRUE(thread.started());
    EXPECT_EQ(thread.wait(0), platform::WaitResult::Timeout);
    EXPECT_FALSE(thread.exitCode(code));
    go.set();
    EXPECT_EQ(thread.wait(), platform::WaitResult::Signaled);
    ASSERT_TRUE(thread.exitCode(code));
    EXPECT_EQ(code, 404u);
    thread.join();
}

TEST(SyncTest, ThreadStartFailureIsReported) {
    platform::setThreadStartHookForTesting([](const char* name) { return std::string(name) != "doomed"; });
    platform::Thread doomed;
    platform::Thread fine;
    EXPECT_FALSE(doomed.start("doomed", [] { return 0u; }));
#ifdef _WIN32
    EXPECT_EQ(platform::lastError(), 8u);  // ERROR_NOT_ENOUGH_MEMORY, as CreateThread without a stack
#else
    EXPECT_EQ(errno, EAGAIN);
#endif
    EXPECT_FALSE(doomed.started());
    EXPECT_EQ(doomed.wait(0), platform::WaitResult::Signaled);
    EXPECT_TRUE(fine.start("fine", [] { return 7u; }));
    fine.join();
    uint32_t code = 0;
    EXPECT_TRUE(fine.exitCode(code));
    EXPECT_EQ(code, 7u);
    platform::setThreadStartHookForTesting(nullptr);
}

}  // namespace
