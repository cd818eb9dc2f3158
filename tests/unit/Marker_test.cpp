#include "platform/marker.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>

#include "gamelauncher/LauncherProtocol.h"
#include "support/TempHome.h"

namespace fs = std::filesystem;
using platform::Marker;
using platform::MarkerState;

namespace {
// Any names would do; these are the two the program and its launcher use.
constexpr const char* kLauncher = launcherprotocol::kLauncherMarker;
constexpr const char* kBootstrapper = launcherprotocol::kBootstrapperMarker;
}  // namespace

TEST(Marker, OneHolderAtATimeAndProbesLeaveNothingHeld) {
    testsupport::TempHome home;
    EXPECT_EQ(platform::probeMarker(kLauncher), MarkerState::Free);
    EXPECT_EQ(platform::probeMarker(kLauncher), MarkerState::Free);

    Marker first;
    ASSERT_EQ(first.acquire(kLauncher), Marker::Result::Acquired);
    EXPECT_TRUE(fs::exists(home.runtime() / (std::string(kLauncher) + ".lock")));
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
