// The window marks and the launcher-window probe on a real X server (Xvfb),
// with the other windows in processes of their own.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <zlib.h>

#include "platform/x11/marked_window.h"
#include "platform/x11/screen_grab.h"
#include "platform/x11/window_mark.h"
#include "support/ChildProcess.h"
#include "support/Process.h"
#include "support/TempHome.h"
#include "support/Xvfb.h"

namespace x11 = platform::x11;
using testsupport::ChildProcess;

namespace {

class WindowMarkTest : public ::testing::Test {
protected:
    // Starts a window process and returns its window id (0 on failure).
    x11::NativeWindow openWindow(std::vector<std::string> args) {
        children.push_back(std::make_unique<ChildProcess>(testsupport::builtProgram("tests/marked-window"), args,
                                                          home.root()));
        const auto line = children.back()->readLine();
        return line ? std::stoull(*line) : 0;
    }
    // Position in the stack right below the root, higher is nearer the top.
    static long stackIndex(x11::NativeWindow w) {
        const auto order = x11::stackingOrder();
        const auto it = std::find(order.begin(), order.end(), w);
        return it == order.end() ? -1 : it - order.begin();
    }

    testsupport::TempHome home;
    testsupport::Xvfb xvfb;
    std::vector<std::unique_ptr<ChildProcess>> children;
};

TEST_F(WindowMarkTest, ProbeBringsTheLauncherWindowAboveAnotherProgramsWindow) {
    GL_REQUIRE_XVFB(xvfb);
    const auto launcher = openWindow({"--rgb", "2a5d8c", "--at", "100,100", "--size", "300,200"});
    const auto other = openWindow({"--no-mark", "--rgb", "c04020", "--at", "150,150", "--size", "300,200"});
    ASSERT_NE(launcher, 0u);
    ASSERT_NE(other, 0u);
    ASSERT_GT(stackIndex(other), stackIndex(launcher));
    // Where the two overlap, the user sees the other program first.
    x11::Image before;
    ASSERT_TRUE(x11::grabScreen(0, before));
    EXPECT_EQ(before.at(200, 200), 0xc04020u);

    EXPECT_EQ(x11::findMarkedWindow(launcherprotocol::kLauncherWindowMark), launcher);
    EXPECT_EQ(x11::bringMarkedWindowForward(), x11::BringForwardResult::Activated);

    EXPECT_GT(stackIndex(launcher), stackIndex(other));
    EXPECT_EQ(x11::inputFocus(), launcher);
    x11::Image after;
    ASSERT_TRUE(x11::grabScreen(0, after));
    EXPECT_EQ(after.at(200, 200), 0x2a5d8cu);
}

TEST_F(WindowMarkTest, TheFirstMarkedWindowFromTheTopIsTheOneBroughtForward) {
    GL_REQUIRE_XVFB(xvfb);
    const auto lower = openWindow({"--at", "0,0"});
    const auto upper = openWindow({"--at", "10,10"});
    const auto cover = openWindow({"--no-mark", "--at", "20,20"});
    ASSERT_NE(cover, 0u);
    EXPECT_EQ(x11::findMarkedWindow(launcherprotocol::kLauncherWindowMark), upper);
    EXPECT_EQ(x11::bringMarkedWindowForward(), x11::BringForwardResult::Activated);
    EXPECT_GT(stackIndex(upper), stackIndex(cover));
    EXPECT_LT(stackIndex(lower), stackIndex(cover));
}

TEST_F(WindowMarkTest, AMinimisedLauncherWindowIsFoundButNotRestored) {
    GL_REQUIRE_XVFB(xvfb);
    const auto launcher = openWindow({});
    ASSERT_NE(launcher, 0u);
    ASSERT_TRUE(children.back()->writeLine("iconify"));
    ASSERT_EQ(children.back()->readLine(), std::optional<std::string>("ok"));
    ASSERT_FALSE(x11::isViewable(launcher));

    EXPECT_EQ(x11::bringMarkedWindowForward(), x11::BringForwardResult::Minimised);
    EXPECT_FALSE(x11::isViewable(launcher));
    EXPECT_NE(x11::inputFocus(), launcher);
}

TEST_F(WindowMarkTest, NothingIsFoundWhenNoWindowCarriesTheMark) {
    GL_REQUIRE_XVFB(xvfb);
    // The atom exists (another mark made it) but no window holds it, and a
    // window with an unrelated mark does not count.
    ASSERT_NE(openWindow({"--mark", "SOMETHING_ELSE"}), 0u);
    ASSERT_NE(openWindow({"--no-mark"}), 0u);
    x11::MarkedWindow gone;
    ASSERT_TRUE(gone.open());
    gone.close();
    EXPECT_EQ(x11::findMarkedWindow(launcherprotocol::kLauncherWindowMark), 0u);
    EXPECT_EQ(x11::bringMarkedWindowForward(), x11::BringForwardResult::NotFound);
}

TEST_F(WindowMarkTest, SetWindowMarkPutsTheOwnMarkOnAnotherProcesssWindow) {
    GL_REQUIRE_XVFB(xvfb);
    const auto w = openWindow({"--no-mark"});
    ASSERT_NE(w, 0u);
    EXPECT_FALSE(x11::hasMark(w, launcherprotocol::kBootstrapperWindowMark));
    testing::internal::CaptureStderr();
    EXPECT_TRUE(x11::SetWindowMark(w));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(x11::hasMark(w, launcherprotocol::kBootstrapperWindowMark));
    EXPECT_EQ(x11::findMarkedWindow(launcherprotocol::kBootstrapperWindowMark), w);
    // The mark reads as xprop shows it to anyone on the display.
    const auto xprop = testsupport::runProgram("/usr/bin/xprop", {"-id", std::to_string(w), launcherprotocol::kBootstrapperWindowMark},
                                               home.root());
    EXPECT_EQ(xprop.output, std::string(launcherprotocol::kBootstrapperWindowMark) + "(CARDINAL) = 1\n");
}

TEST_F(WindowMarkTest, SetWindowMarkOnAWindowThatIsGoneSaysSoOnTheDebuggerOutput) {
    GL_REQUIRE_XVFB(xvfb);
    x11::MarkedWindow gone;
    ASSERT_TRUE(gone.open());
    const auto id = gone.id();
    gone.close();
    testing::internal::CaptureStderr();
    EXPECT_FALSE(x11::SetWindowMark(id));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "SetProp failed ErrCode:3\n");  // BadWindow
}

TEST_F(WindowMarkTest, WaitingForAMarkedWindowWakesOnANewWindowAndOnAMarkSetLater) {
    GL_REQUIRE_XVFB(xvfb);
    EXPECT_EQ(x11::waitForMarkedWindow(launcherprotocol::kBootstrapperWindowMark, 50), 0u);
    // A window that shows up marked while the wait runs.
    x11::NativeWindow seen = 0;
    std::thread waiter([&] { seen = x11::waitForMarkedWindow("LATE_MARK", 30000); });
    // The waiter may come first or second; either way it must see it.
    const auto marked = openWindow({"--mark", "LATE_MARK"});
    waiter.join();
    EXPECT_EQ(seen, marked);
    // A window that exists already and gets the mark afterwards, as the
    // toolkit marks its window after showing it.
    const auto plain = openWindow({"--no-mark"});
    ASSERT_NE(plain, 0u);
    std::thread later([&] { seen = x11::waitForMarkedWindow(launcherprotocol::kBootstrapperWindowMark, 30000); });
    EXPECT_TRUE(x11::SetWindowMark(plain));
    later.join();
    EXPECT_EQ(seen, plain);
}

TEST_F(WindowMarkTest, AGrabOfAWindowIsWrittenAsAPngWithItsPixels) {
    GL_REQUIRE_XVFB(xvfb);
    const auto w = openWindow({"--rgb", "123456", "--at", "40,30", "--size", "64,48"});
    ASSERT_NE(w, 0u);
    x11::Image image;
    ASSERT_TRUE(x11::grabScreen(w, image));
    ASSERT_EQ(image.width, 64u);
    ASSERT_EQ(image.height, 48u);
    EXPECT_EQ(image.at(0, 0), 0x123456u);
    EXPECT_EQ(image.at(63, 47), 0x123456u);
    const auto file = home.root() / "shot.png";
    ASSERT_TRUE(x11::writePng(image, file.string()));
    // Decode it again: signature, IHDR with the size, RGB 8-bit, and the
    // rows behind filter bytes.
    const std::string png = testsupport::readFile(file);
    ASSERT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    auto be32 = [&](std::size_t at) {
        return (uint32_t(uint8_t(png[at])) << 24) | (uint32_t(uint8_t(png[at + 1])) << 16) |
               (uint32_t(uint8_t(png[at + 2])) << 8) | uint32_t(uint8_t(png[at + 3]));
    };
    EXPECT_EQ(png.substr(12, 4), "IHDR");
    EXPECT_EQ(be32(16), 64u);
    EXPECT_EQ(be32(20), 48u);
    const std::size_t idat = png.find("IDAT");
    ASSERT_NE(idat, std::string::npos);
    const uint32_t len = be32(idat - 4);
    std::string raw((64 * 3 + 1) * 48, '\0');
    uLongf rawLen = raw.size();
    ASSERT_EQ(uncompress(reinterpret_cast<Bytef*>(raw.data()), &rawLen,
                         reinterpret_cast<const Bytef*>(png.data() + idat + 4), len),
              Z_OK);
    ASSERT_EQ(rawLen, raw.size());
    EXPECT_EQ(raw.substr(0, 4), std::string("\0\x12\x34\x56", 4));
    EXPECT_EQ(png.substr(png.size() - 8, 4), "IEND");
}

TEST(WindowMarkNoDisplay, NothingIsSetOrFoundWithoutADisplay) {
    testsupport::TempHome home;
    const char* old = std::getenv("DISPLAY");
    const std::optional<std::string> saved = old ? std::optional<std::string>(old) : std::nullopt;
    ::unsetenv("DISPLAY");
    EXPECT_EQ(x11::bringMarkedWindowForward(), x11::BringForwardResult::NoDisplay);
    EXPECT_EQ(x11::findMarkedWindow(launcherprotocol::kLauncherWindowMark), 0u);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(x11::SetWindowMark(0x400001));
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(said.rfind("SetProp failed ErrCode:", 0), 0u) << said;
    EXPECT_EQ(said.back(), '\n');
    x11::MarkedWindow w;
    EXPECT_FALSE(w.open());
    x11::Image image;
    std::string why;
    EXPECT_FALSE(x11::grabScreen(0, image, &why));
    EXPECT_EQ(why, "no X display");
    if (saved) ::setenv("DISPLAY", saved->c_str(), 1);
}

}  // namespace
