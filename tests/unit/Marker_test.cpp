#include "platform/marker.h"

#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <filesystem>
#include <memory>
#include <vector>
#include <string>
#include <thread>

#include "gamelauncher/LauncherProtocol.h"
#ifdef _WIN32
#include "support/ChildProcess.h"
#include "support/SampleLauncher.h"
#include "support/WaitUntil.h"
#endif
#include "support/TempHome.h"

namespace fs = std::filesystem;
using platform::Marker;
using platform::MarkerState;

namespace {
// Any names would do; these are the two the program and its launcher use.
const char* const kLauncher = launcherprotocol::kLauncherMarker;
const char* const kBootstrapper = launcherprotocol::kBootstrapperMarker;
}  // namespace

TEST(Marker, OneHolderAtATimeAndProbesLeaveNothingHeld) {
    testsupport::TempHome home;
    EXPECT_EQ(platform::probeMarker(kLauncher), MarkerState::Free);
    EXPECT_EQ(platform::probeMarker(kLauncher), MarkerState::Free);

    Marker first;
    ASSERT_EQ(first.acquire(kLauncher), Marker::Result::Acquired);
#ifndef _WIN32
    // A lock file only on Linux; Windows has the named semaphore (below).
    EXPECT_TRUE(fs::exists(home.runtime() / (std::string(kLauncher) + ".lock")));
#endif
    Marker second;
    EXPECT_EQ(second.acquire(kLauncher), Marker::Result::AlreadyHeld);
    EXPECT_FALSE(second.held());
    EXPECT_EQ(platform::probeMarker(kLauncher), MarkerState::Held);
    // Another name is another marker.
    EXPECT_EQ(platform::probeMarker(kBootstrapper), MarkerState::Free);

    first.release();
    EXPECT_EQ(platform::probeMarker(kLauncher), MarkerState::Free);
    EXPECT_EQ(second.acquire(kLauncher), Marker::Result::Acquired);
}

#ifndef _WIN32
// On Windows a probe holds the semaphore open for an instant, which keeps a
// just released one in existence: there the race is taken on fresh names
// (below).
// A launcher takes its marker while the bootstrapper (or a test) probes for
// it: no probe may turn it away, however the two fall together.
TEST(Marker, AProbeNeverTurnsAwayAHolderTakingTheMarker) {
    testsupport::TempHome home;
    std::atomic<bool> done{false};
    std::atomic<int> held{0};
    std::thread prober([&] {
        while (!done.load()) {
            if (platform::probeMarker(kLauncher) == MarkerState::Held) held.fetch_add(1);
        }
    });
    int turnedAway = 0;
    for (int i = 0; i < 20000; ++i) {
        Marker m;
        if (m.acquire(kLauncher) != Marker::Result::Acquired) ++turnedAway;
    }
    done.store(true);
    prober.join();
    EXPECT_EQ(turnedAway, 0);
    EXPECT_GT(held.load(), 0) << "the probe saw the holder at least once";
}
#endif

#ifndef _WIN32
// fork has no Windows form; there the holder is another program (below).
TEST(Marker, AHolderThatDiesLeavesNoStaleMarker) {
    testsupport::TempHome home;
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        Marker m;
        const char ok = m.acquire(kBootstrapper) == Marker::Result::Acquired ? '1' : '0';
        (void)!::write(ready[1], &ok, 1);
        ::pause();  // killed below, never releases by itself
        ::_exit(0);
    }
    char ok = 0;
    ASSERT_EQ(::read(ready[0], &ok, 1), 1);
    ASSERT_EQ(ok, '1');
    EXPECT_EQ(platform::probeMarker(kBootstrapper), MarkerState::Held);
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_EQ(platform::probeMarker(kBootstrapper), MarkerState::Free);
    ::close(ready[0]);
    ::close(ready[1]);
}
#endif

#ifdef _WIN32
namespace {

// The marker's semaphore as another program of the session opens it.
HANDLE openSemaphore(const wchar_t* name) {
    return ::OpenSemaphoreW(SYNCHRONIZE, FALSE, name);
}

}  // namespace

// A launcher takes its marker while the bootstrapper probes it: a probe
// only opens the semaphore, so a probe of a free marker never turns away a
// holder taking it at that instant. Each round takes a name nobody held
// before: a probe that opened the previous holder's semaphore just before
// its release keeps it for that instant, a window the system leaves open.
TEST(Marker, AProbeNeverTurnsAwayAHolderTakingAFreeMarker) {
    testsupport::TempHome home;
    constexpr int kRounds = 3000;
    std::vector<std::string> names;
    for (int i = 0; i < kRounds; ++i) names.push_back("GLTEST_MARKER_" + std::to_string(i));
    std::atomic<int> current{0};
    std::atomic<int> held{0};
    std::thread prober([&] {
        for (int i = current.load(); i < kRounds; i = current.load()) {
            if (platform::probeMarker(names[static_cast<std::size_t>(i)].c_str()) == MarkerState::Held) held.fetch_add(1);
        }
    });
    int turnedAway = 0;
    std::vector<std::unique_ptr<Marker>> holders;
    for (int i = 0; i < kRounds; ++i) {
        auto m = std::make_unique<Marker>();
        if (m->acquire(names[static_cast<std::size_t>(i)].c_str()) != Marker::Result::Acquired) ++turnedAway;
        // Released only after the prober has moved on.
        holders.push_back(std::move(m));
        current.store(i + 1);
    }
    prober.join();
    EXPECT_EQ(turnedAway, 0);
    EXPECT_GT(held.load(), 0) << "the probe saw a holder at least once";
}

// Another program holds the marker (the sample launcher, without its pipe)
// and is ended without a chance to release it.
TEST(Marker, AHolderThatDiesLeavesNoStaleMarker) {
    testsupport::TempHome home;
    const fs::path ready = home.root() / "ready";
    testsupport::ChildProcess holder(testsupport::sampleLauncherProgram(),
                                     {"--no-pipe", "--no-window", "--ready", ready.string(), "--log",
                                      (home.root() / "log").string(), "--args", (home.root() / "args").string()},
                                     home.root());
    ASSERT_TRUE(holder.started());
    ASSERT_TRUE(testsupport::waitUntil([&] { return fs::exists(ready) || !holder.running(); }));
    ASSERT_TRUE(fs::exists(ready)) << testsupport::readFile(home.root() / "log");
    EXPECT_EQ(platform::probeMarker(kLauncher), MarkerState::Held);
    holder.kill();
    EXPECT_EQ(platform::probeMarker(kLauncher), MarkerState::Free);
    Marker m;
    EXPECT_EQ(m.acquire(kLauncher), Marker::Result::Acquired);
}

// The marker is a semaphore of the session's own namespace, which another
// user's session can neither see nor squat; the probe only opens it, so a
// free marker stays free (no object of the name is left or made by it).
TEST(Marker, IsASemaphoreOfTheSessionAndTheProbeNeverCreatesIt) {
    testsupport::TempHome home;
    ASSERT_EQ(platform::probeMarker(kLauncher), MarkerState::Free);
    HANDLE none = openSemaphore(L"Local\\MV3_LAUNCHER_KT");
    EXPECT_EQ(none, nullptr) << "the probe created the semaphore";
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    if (none != nullptr) ::CloseHandle(none);

    Marker m;
    ASSERT_EQ(m.acquire(kLauncher), Marker::Result::Acquired);
    HANDLE local = openSemaphore(L"Local\\MV3_LAUNCHER_KT");
    EXPECT_NE(local, nullptr);
    if (local != nullptr) ::CloseHandle(local);
    HANDLE global = openSemaphore(L"Global\\MV3_LAUNCHER_KT");
    EXPECT_EQ(global, nullptr) << "visible to other sessions";
    if (global != nullptr) ::CloseHandle(global);
    m.release();
    EXPECT_EQ(platform::probeMarker(kLauncher), MarkerState::Free);
}

// Another kind of object under the name: whether a holder exists cannot be
// told, and taking the marker fails rather than reporting it held or free.
TEST(Marker, AnotherKindOfObjectUnderTheNameIsAFailure) {
    testsupport::TempHome home;
    HANDLE squatter = ::CreateEventW(nullptr, TRUE, FALSE, L"Local\\MORVEL3_GAMELAUNCHER");
    ASSERT_NE(squatter, nullptr);
    EXPECT_EQ(platform::probeMarker(kBootstrapper), MarkerState::Failed);
    Marker m;
    EXPECT_EQ(m.acquire(kBootstrapper), Marker::Result::Failed);
    EXPECT_FALSE(m.held());
    ::CloseHandle(squatter);
    EXPECT_EQ(platform::probeMarker(kBootstrapper), MarkerState::Free);
    EXPECT_EQ(m.acquire(kBootstrapper), Marker::Result::Acquired);
}
#endif
