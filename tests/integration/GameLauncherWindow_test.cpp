// The built program with its real window on a private X server (Xvfb):
// the whole start-up and shutdown order as the log shows it, on each path
// that ends without a user's click, and a second start beside a running one.
#include <QColor>
#include <QImage>
#include <QString>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>

#include <filesystem>
#include <map>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "app/GameLauncher.h"
#include "foundation/Md5.h"
#include "platform/system_info.h"
#include "platform/x11/screen_grab.h"
#include "platform/x11/marked_window.h"
#include "platform/x11/window_mark.h"
#include "support/ChildProcess.h"
#include "support/CoveringWindow.h"
#include "support/FakeHttpServer.h"
#include "support/GameFolder.h"
#include "support/LogReader.h"
#include "support/Process.h"
#include "support/TempHome.h"
#include "support/UpdateService.h"
#include "support/WaitUntil.h"
#include "support/Xvfb.h"

namespace fs = std::filesystem;
namespace x11 = platform::x11;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

constexpr const char* kInstalledVersion = "1.0.0.7";

const std::string kExitLine = "[GameLauncher:154]GameLauncher Exit \r\n\r\n\r\n";

// Asserts that each text occurs in the log, each after the one before.
void expectInOrder(const std::string& log, const std::vector<std::string>& texts) {
    std::size_t at = 0;
    for (const auto& t : texts) {
        const std::size_t found = log.find(t, at);
        ASSERT_NE(found, std::string::npos) << "missing after offset " << at << ": " << t << "\n" << log;
        at = found + t.size();
    }
}

class GameLauncherWindow : public testsupport::GameFolderTest {
protected:
    // The installed game launcher: a script that ends at once, listed with
    // its MD5 in client/launcher.db, so that the installed-file check passes.
    void installLauncher(const std::string& version) {
        const fs::path client = home.data() / "Keltora/morvel3/client";
        fs::create_directories(client);
        writeFile(client / "launcher.exe", "#!/bin/sh\nexit 0\n");
        fs::permissions(client / "launcher.exe", fs::perms::owner_all);
        char md5[33] = {};
        ASSERT_EQ(getFileMd5((client / "launcher.exe").wstring().c_str(), md5), 0);
        writeFile(client / "launcher.db", std::string("{\"files\":[{\"client/launcher.exe\":\"") + md5 +
                                              "\"}],\"version\":\"" + version + "\"}");
    }
    void pointAt(const std::string& base) {
        writeFile(game / "launcher.ini", "[UPGRADE]\r\nSERVER_UPGRADE_0=" + base + "\r\n");
    }
    // The real X11 platform of the toolkit, whatever the caller's shell set.
    std::map<std::string, std::string> onDisplay(std::map<std::string, std::string> more = {}) const {
        more.emplace("QT_QPA_PLATFORM", "");
        more.emplace("DISPLAY", xvfb.display());
        return more;
    }

    testsupport::Xvfb xvfb;
};

TEST_F(GameLauncherWindow, AnOrdinaryRunShowsTheWindowRunsTheLoopAndEndsWithTheExitLine) {
    GL_REQUIRE_XVFB(xvfb);
    GL_SKIP_QT_ON_X_UNDER_TSAN();
    installLauncher(kInstalledVersion);
    testsupport::UpdateService service({"--version", kInstalledVersion, "--events",
                                        (home.root() / "events.jsonl").string(), "--quiet"});
    ASSERT_FALSE(service.base().empty());
    pointAt(service.base());

    const auto run = testsupport::runProgram(game / "gamelauncher", {}, game, onDisplay());
    ASSERT_EQ(run.exitCode, 0) << run.output;
    const std::string text = log();
    expectInOrder(text, {"[GameLauncher:31]GameLauncher Start\r\n", "[CrashReport:23] installCrashReport ",
                         "[GameLauncher:284]WriteFile OK", "event=GLHR_STR",
                         "[upgradeManager:120]_ThreadCheckVersion Start\r\n",
                         "[GameLauncher:132]MessageLoop Quit\r\n", "[CrashReport:75]uninstallCrashReport\r\n",
                         kExitLine});
    // The worker started the launcher and closed the window before the
    // manager's destruction joined it, all before crash reporting goes.
    expectInOrder(text, {"[upgradeManager:208]_ThreadCheckVersion END with start launcher.exe OK\r\n",
                         "[upgradeManager:248]_ThreadCheckVersion Quit\r\n", "[CrashReport:75]uninstallCrashReport\r\n"});
    EXPECT_EQ(text.size() - text.rfind(kExitLine), kExitLine.size()) << "the exit line ends the run";
    for (const char* absent : {"[GameLauncher:127]", "[DlgGameLauncher:84]", "[GameLauncher:101]", "[GameLauncher:119]"}) {
        EXPECT_EQ(text.find(absent), std::string::npos) << absent << "\n" << text;
    }
    // The events of the run, the start event first.
    const std::string events = readFile(home.root() / "events.jsonl");
    EXPECT_LT(events.find("\"event\":\"GLHR_STR\""), events.find("\"event\":\"LHR_CHK\"")) << events;
}

TEST_F(GameLauncherWindow, AFailedCheckUpgradeDestroysTheShownWindowWithoutTheLoop) {
    GL_REQUIRE_XVFB(xvfb);
    GL_SKIP_QT_ON_X_UNDER_TSAN();
    // The manager cannot derive its install folder: the local folder is a file.
    writeFile(home.root() / "not-a-folder", "x");
    const auto run = testsupport::runProgram(game / "gamelauncher", {}, game,
                                             onDisplay({{"XDG_DATA_HOME", (home.root() / "not-a-folder").string()}}));
    ASSERT_EQ(run.exitCode, 0) << run.output;
    const std::string text = log();
    expectInOrder(text, {"[GameLauncher:31]GameLauncher Start\r\n", "[GameLauncher:284]WriteFile OK",
                         "[GameLauncher:127]pManager->checkUpgrade failed resCode:-2\r\n", kExitLine});
    EXPECT_EQ(text.find("[GameLauncher:132]"), std::string::npos) << text;
    EXPECT_EQ(text.find("[upgradeManager:120]"), std::string::npos) << text;
    EXPECT_EQ(text.find("[DlgGameLauncher:84]"), std::string::npos) << text;
}

TEST_F(GameLauncherWindow, ASecondStartExitsAtOnceAndLeavesTheFirstWindowAlone) {
    GL_REQUIRE_XVFB(xvfb);
    GL_SKIP_QT_ON_X_UNDER_TSAN();
    installLauncher(kInstalledVersion);
    // The first instance stays busy in the download: the package server
    // never answers the first piece.
    testsupport::FakeHttpServer packages;
    packages.serve("/client.zip", std::string(200000, 'z'));
    packages.holdRange(0);
    testsupport::UpdateService service({"--version", "2.0.0.0", "--package-url", packages.url("/client.zip"), "--md5",
                                        "0123456789abcdef0123456789abcdef", "--quiet"});
    ASSERT_FALSE(service.base().empty());
    pointAt(service.base());

    // Another program's window, so that "untouched" also means "not raised".
    testsupport::ChildProcess other(testsupport::builtProgram("tests/marked-window"),
                                    {"--no-mark", "--at", "0,0", "--size", "1024,768"}, game,
                                    {{"DISPLAY", xvfb.display()}});
    ASSERT_TRUE(other.readLine());

    testsupport::ChildProcess first(game / "gamelauncher", {}, game, onDisplay());
    ASSERT_TRUE(first.started());
    const x11::NativeWindow window = x11::waitForMarkedWindow(launcherprotocol::kBootstrapperWindowMark, 60000);
    ASSERT_NE(window, 0u) << "the first instance's window never carried its mark";
    ASSERT_TRUE(packages.waitForRequest([](const auto& r) { return r.method == "GET"; }));
    // The bootstrapper's window carries its mark for anyone on the display.
    const auto xprop = testsupport::runProgram("/usr/bin/xprop", {"-id", std::to_string(window), launcherprotocol::kBootstrapperWindowMark},
                                               game, {{"DISPLAY", xvfb.display()}});
    EXPECT_EQ(xprop.output, std::string(launcherprotocol::kBootstrapperWindowMark) + "(CARDINAL) = 1\n");

    // Put the other window on top, then start again.
    ASSERT_TRUE(other.writeLine("raise"));
    ASSERT_EQ(other.readLine(), std::optional<std::string>("ok"));
    const auto stackBefore = x11::stackingOrder();
    const auto focusBefore = x11::inputFocus();
    ASSERT_TRUE(x11::isViewable(window));

    const auto second = testsupport::runProgram(game / "gamelauncher", {}, game, onDisplay());
    EXPECT_EQ(second.exitCode, 0) << second.output;
    EXPECT_EQ(x11::stackingOrder(), stackBefore);
    EXPECT_EQ(x11::inputFocus(), focusBefore);
    EXPECT_TRUE(x11::isViewable(window));
    EXPECT_TRUE(x11::hasMark(window, launcherprotocol::kBootstrapperWindowMark));

    // Both starts write into the same daily log; the second one only its two lines.
    const std::string text = log();
    const std::string start = "[GameLauncher:31]GameLauncher Start\r\n";
    const std::size_t firstStart = text.find(start);
    ASSERT_NE(firstStart, std::string::npos) << text;
    const std::size_t secondStart = text.find(start, firstStart + 1);
    ASSERT_NE(secondStart, std::string::npos) << text;
    const std::size_t exist = text.find("[GameLauncher:35]Instance Exist\r\n");
    EXPECT_GT(exist, secondStart) << text;
    EXPECT_EQ(text.find(kExitLine), std::string::npos) << "the first instance still runs";
}

TEST_F(GameLauncherWindow, ARunningLauncherIsHandedOverToAndItsWindowComesToTheFront) {
    GL_REQUIRE_XVFB(xvfb);
    GL_SKIP_QT_ON_X_UNDER_TSAN();
    // The sample launcher installed and current, and already running with
    // its window, which another program's window covers.
    const fs::path client = home.data() / "Keltora/morvel3/client";
    fs::create_directories(client);
    fs::copy_file(testsupport::builtProgram("tools/sample-launcher/sample-launcher"), client / "launcher.exe");
    char md5[33] = {};
    ASSERT_EQ(getFileMd5((client / "launcher.exe").wstring().c_str(), md5), 0);
    writeFile(client / "launcher.db", std::string("{\"files\":[{\"client/launcher.exe\":\"") + md5 +
                                          "\"}],\"version\":\"" + kInstalledVersion + "\"}");
    const fs::path ready = home.root() / "launcher.ready";
    testsupport::ChildProcess launcher(client / "launcher.exe", {"--ready", ready.string()}, game,
                                       {{"DISPLAY", xvfb.display()}});
    ASSERT_TRUE(launcher.started());
    ASSERT_TRUE(testsupport::waitUntil([&] { return fs::exists(ready) || !launcher.running(); }));
    const x11::NativeWindow launcherWindow = x11::findMarkedWindow(launcherprotocol::kLauncherWindowMark);
    ASSERT_NE(launcherWindow, 0u) << readFile(client / "launcher.log");
    const testsupport::CoveringWindow other(game, xvfb.display());
    ASSERT_NE(other.window(), 0u);
    ASSERT_GT(testsupport::stackIndex(other.window()), testsupport::stackIndex(launcherWindow));

    testsupport::UpdateService service({"--version", kInstalledVersion, "--quiet"});
    ASSERT_FALSE(service.base().empty());
    pointAt(service.base());
    const auto run = testsupport::runProgram(game / "gamelauncher", {}, game, onDisplay());
    ASSERT_EQ(run.exitCode, 0) << run.output;

    const std::string text = log();
    expectInOrder(text, {"[GameLauncher:31]GameLauncher Start\r\n",
                         "[upgradeManager:182]_ThreadCheckVersion END with handleExsitLauncher failed rescode:231\r\n",
                         "[GameLauncher:132]MessageLoop Quit\r\n", kExitLine});
    EXPECT_EQ(text.find("start launcher.exe"), std::string::npos) << "no second launcher" << text;
    EXPECT_EQ(readFile(client / "launcher.messages"), "id=0x80 command=0 length=0 data=\n");
    EXPECT_GT(testsupport::stackIndex(launcherWindow), testsupport::stackIndex(other.window()));
    EXPECT_EQ(x11::inputFocus(), launcherWindow);
    launcher.signal(SIGTERM);
    EXPECT_EQ(launcher.wait(std::chrono::seconds(20)), 0);
}

void keepForALook(const x11::Image& picture, const char* name);

// What the skin says the window shows with the overlay uncovered over the
// first `columns` columns: the background, the overlay's left part over it,
// the close button at 377,14 on top (each drawn with its own transparency).
class SkinPicture {
public:
    SkinPicture() {
        const fs::path pics = fs::path(GL_TEST_SOURCE_DIR) / "resources/skin/picRes";
        m_bg = load(pics / "gl_bg.png");
        m_fg = load(pics / "gl_pgs_fg.png");
        m_button = load(pics / "btn_close.png");
    }
    bool ok() const { return m_bg.width() == 408 && m_bg.height() == 172 && m_fg.size() == m_bg.size() &&
                             m_button.width() == 20 && m_button.height() == 20; }

    uint32_t expected(int x, int y, bool overlay) const {
        QColor c = m_bg.pixelColor(x, y);
        if (overlay) c = over(m_fg.pixelColor(x, y), c);
        if (x >= 377 && x < 397 && y >= 14 && y < 34) c = over(m_button.pixelColor(x - 377, y - 14), c);
        return static_cast<uint32_t>(c.rgb()) & 0xFFFFFFu;
    }

private:
    static QImage load(const fs::path& p) {
        return QImage(QString::fromStdString(p.string())).convertToFormat(QImage::Format_ARGB32);
    }
    static QColor over(const QColor& src, const QColor& dst) {
        const double a = src.alphaF();
        return QColor::fromRgbF(static_cast<float>(src.redF() * a + dst.redF() * (1 - a)),
                                static_cast<float>(src.greenF() * a + dst.greenF() * (1 - a)),
                                static_cast<float>(src.blueF() * a + dst.blueF() * (1 - a)));
    }
    QImage m_bg, m_fg, m_button;
};

bool near(uint32_t a, uint32_t b) {
    for (int shift : {0, 8, 16}) {
        const int d = static_cast<int>((a >> shift) & 0xff) - static_cast<int>((b >> shift) & 0xff);
        if (d > 3 || d < -3) return false;
    }
    return true;
}

// The overlay widths that explain every pixel of `shot`: columns left of
// the width show the overlay, the others the plain background.
std::vector<int> overlayWidthsMatching(const x11::Image& shot, const SkinPicture& skin) {
    std::vector<bool> asOverlay(408), asBackground(408);
    for (int x = 0; x < 408; ++x) {
        bool o = true, b = true;
        for (int y = 0; y < 172 && (o || b); ++y) {
            const uint32_t got = shot.at(static_cast<uint32_t>(x), static_cast<uint32_t>(y));
            o = o && near(got, skin.expected(x, y, true));
            b = b && near(got, skin.expected(x, y, false));
        }
        asOverlay[static_cast<std::size_t>(x)] = o;
        asBackground[static_cast<std::size_t>(x)] = b;
    }
    std::vector<int> widths;
    for (int k = 0; k <= 408; ++k) {
        bool fits = true;
        for (int x = 0; x < 408 && fits; ++x) {
            fits = x < k ? asOverlay[static_cast<std::size_t>(x)] : asBackground[static_cast<std::size_t>(x)];
        }
        if (fits) widths.push_back(k);
    }
    return widths;
}

TEST_F(GameLauncherWindow, MidWayTheWindowShowsTheSkinWithThePartOfTheOverlayTheBarHasReached) {
    GL_REQUIRE_XVFB(xvfb);
    GL_SKIP_QT_ON_X_UNDER_TSAN();
    const SkinPicture skin;
    ASSERT_TRUE(skin.ok());
    installLauncher(kInstalledVersion);
    // The download stops after its first piece: the second is never
    // answered, so the bar stays part-way.
    testsupport::FakeHttpServer packages;
    packages.serve("/client.zip", std::string(200000, 'z'));
    packages.holdRange(32768);
    testsupport::UpdateService service({"--version", "2.0.0.0", "--package-url", packages.url("/client.zip"), "--md5",
                                        "0123456789abcdef0123456789abcdef", "--quiet"});
    ASSERT_FALSE(service.base().empty());
    pointAt(service.base());
    testsupport::ChildProcess program(game / "gamelauncher", {}, game, onDisplay());
    const x11::NativeWindow window = x11::waitForMarkedWindow(launcherprotocol::kBootstrapperWindowMark, 60000);
    ASSERT_NE(window, 0u);
    ASSERT_TRUE(x11::waitUntilViewable(window, 30000));
    ASSERT_TRUE(packages.waitForRequest([](const auto& r) { return r.range.rfind("bytes=32768-", 0) == 0; }));

    // Centred on the 1024x768 screen.
    x11::Image screen;
    ASSERT_TRUE(x11::grabScreen(0, screen));
    // The bar moves in steps every 20 ms until it meets the download's
    // figure; X reports no "drawn", so look until two pictures agree.
    x11::Image shot, previous;
    std::vector<int> widths;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < until) {
        ASSERT_TRUE(x11::grabScreen(window, shot));
        ASSERT_EQ(shot.width, 408u);
        ASSERT_EQ(shot.height, 172u);
        widths = overlayWidthsMatching(shot, skin);
        if (!widths.empty() && widths.front() > 0 && shot.pixels == previous.pixels) break;
        previous = shot;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    keepForALook(shot, "window-mid-way.png");
    ASSERT_FALSE(widths.empty()) << "the window does not show the skin";
    // Part-way: some of the overlay, not all of it, and a width the bar's
    // 0..500 scale can give (408 × value / 500).
    EXPECT_GT(widths.back(), 0);
    EXPECT_LT(widths.front(), 408);
    bool onScale = false;
    for (int v = 1; v < 500 && !onScale; ++v) {
        onScale = std::find(widths.begin(), widths.end(), 408 * v / 500) != widths.end();
    }
    EXPECT_TRUE(onScale) << widths.front() << ".." << widths.back();
    // The window sits in the middle of the screen.
    const uint32_t left = (1024 - 408) / 2, top = (768 - 172) / 2;
    EXPECT_EQ(screen.at(left + 10, top + 10), skin.expected(10, 10, false));
}

// Grabs `window` until two pictures in a row agree and show part of the
// overlay (X reports no "drawn"); false after 30 s.
bool grabSettled(x11::NativeWindow window, const SkinPicture& skin, x11::Image& shot) {
    x11::Image previous;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < until) {
        if (!x11::grabScreen(window, shot) || shot.width != 408 || shot.height != 172) return false;
        const auto widths = overlayWidthsMatching(shot, skin);
        if (!widths.empty() && widths.front() > 0 && shot.pixels == previous.pixels) return true;
        previous = shot;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

// The same run with the Windows build under Wine, on the same display: its
// window is an X window there too, and at the same bar value it shows the
// same pixels as this build's window.
TEST_F(GameLauncherWindow, UnderWineTheWindowsBuildShowsTheSamePixelsAtTheSameBarValue) {
    GL_REQUIRE_XVFB(xvfb);
    GL_SKIP_QT_ON_X_UNDER_TSAN();
    const fs::path exe = fs::path(GL_WINDOWS_BUILD_DIR) / "gamelauncher.exe";
    if (!fs::exists(exe) || !fs::exists("/usr/bin/wine")) {
        GTEST_SKIP() << "needs Wine and the Windows build (" << exe.string() << "): scripts/test windows builds it";
    }
    const SkinPicture skin;
    ASSERT_TRUE(skin.ok());
    testsupport::FakeHttpServer packages;
    packages.serve("/client.zip", std::string(200000, 'z'));
    packages.holdRange(32768);
    testsupport::UpdateService service({"--version", "2.0.0.0", "--package-url", packages.url("/client.zip"), "--md5",
                                        "0123456789abcdef0123456789abcdef", "--quiet"});
    ASSERT_FALSE(service.base().empty());
    pointAt(service.base());
    const char* title = "\xe3\x80\x8aMorvel 3\xe3\x80\x8b";  // string 103

    // This build first, held after the first piece.
    installLauncher(kInstalledVersion);
    x11::Image here;
    {
        testsupport::ChildProcess program(gameProgram, {}, game, onDisplay());
        const x11::NativeWindow window = x11::waitForMarkedWindow(launcherprotocol::kBootstrapperWindowMark, 60000);
        ASSERT_NE(window, 0u);
        ASSERT_TRUE(x11::waitUntilViewable(window, 30000));
        ASSERT_TRUE(grabSettled(window, skin, here));
        program.kill();
    }

    // Then the Windows build, in a Wine prefix of its own on the same display
    // (its server started after the display, whose name it keeps).
    const fs::path prefix = home.root() / "wine";
    fs::create_directories(prefix);
    const std::map<std::string, std::string> wineEnv{{"WINEPREFIX", prefix.string()}, {"WINEDEBUG", "-all"},
                                                     {"WINEDLLOVERRIDES", "mscoree,mshtml="},
                                                     {"DISPLAY", xvfb.display()}, {"LC_ALL", "C.UTF-8"}};
    // Wine's server and desktop outlive the programs that started them and
    // keep their output open: nothing of Wine's is read to its end here.
    const auto quiet = testsupport::childIn(game, wineEnv, testsupport::ChildOutput::Inherit);
    testsupport::ChildProcess server("/usr/bin/wineserver", {"-p", "-f"}, quiet);
    ASSERT_TRUE(server.started());
    struct StopServer {
        const testsupport::ChildOptions& options;
        ~StopServer() {
            testsupport::ChildProcess stop("/usr/bin/wineserver", {"-k"}, options);
            stop.wait(std::chrono::seconds(30));
        }
    } stopServer{quiet};
    {
        testsupport::ChildProcess boot("/usr/bin/wineboot", {"-i"}, quiet);
        ASSERT_EQ(boot.wait(std::chrono::seconds(180)), std::optional<int>(0));
    }
    // The prefix's local application data holds the same installed launcher.
    const char* user = std::getenv("USER");
    const fs::path local = prefix / "drive_c/users" / (user != nullptr && user[0] != '\0' ? user : "root") /
                           "AppData/Local/Keltora/morvel3";
    fs::create_directories(local);
    fs::copy(home.data() / "Keltora/morvel3", local, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    fs::copy_file(exe, game / "gamelauncher.exe");
    x11::Image there;
    {
        testsupport::ChildProcess program("/usr/bin/wine", {"gamelauncher.exe"}, quiet);
        const x11::NativeWindow window = x11::waitForWindowNamed(title, 60000);
        ASSERT_NE(window, 0u);
        ASSERT_TRUE(x11::waitUntilViewable(window, 30000));
        ASSERT_TRUE(grabSettled(window, skin, there));
        program.kill();
    }
    keepForALook(here, "window-linux.png");
    keepForALook(there, "window-wine.png");

    // Pixel by pixel. Both decode the pictures to premultiplied colour and
    // blend them over a transparent start; the two decoders may round a
    // translucent pixel one step apart, nothing more (Wine 8: no pixel
    // differs at all).
    ASSERT_EQ(there.pixels.size(), here.pixels.size());
    std::size_t differing = 0;
    int worst = 0;
    for (std::size_t i = 0; i < here.pixels.size(); ++i) {
        if (here.pixels[i] == there.pixels[i]) continue;
        ++differing;
        for (int shift : {0, 8, 16}) {
            const int d = static_cast<int>((here.pixels[i] >> shift) & 0xff) - static_cast<int>((there.pixels[i] >> shift) & 0xff);
            worst = std::max(worst, d < 0 ? -d : d);
        }
    }
    EXPECT_LE(worst, 1) << differing << " pixels differ";
    EXPECT_EQ(overlayWidthsMatching(there, skin), overlayWidthsMatching(here, skin)) << "a different bar value";
}

// With GL_TEST_SHOTS set to a folder, the pictures the tests judge are
// saved there for a person to look at.
void keepForALook(const x11::Image& picture, const char* name) {
    const char* folder = std::getenv("GL_TEST_SHOTS");
    if (folder != nullptr && folder[0] != '\0') x11::writePng(picture, (fs::path(folder) / name).string());
}

// Qt's error icon is a red disc left of the text.
std::size_t redPixels(const x11::Image& picture) {
    std::size_t red = 0;
    for (uint32_t y = 0; y < picture.height; ++y) {
        for (uint32_t x = 0; x < picture.width / 4; ++x) {
            const uint32_t p = picture.at(x, y);
            red += ((p >> 16) & 0xff) > 160 && ((p >> 8) & 0xff) < 90 && (p & 0xff) < 90 ? 1 : 0;
        }
    }
    return red;
}

// In this process, so that the machine can be said to be an ARM64 one; the
// box is closed the way a window manager closes it for the user.
TEST(GameLauncherRefusal, OnASystemThatIsNotSixtyFourBitTheErrorBoxComesAfterTheStartReportAndNoWindowIsMade) {
    testsupport::TempHome home;
    testsupport::Xvfb xvfb;
    GL_REQUIRE_XVFB(xvfb);
    GL_SKIP_QT_ON_X_UNDER_TSAN();
    ::unsetenv("QT_QPA_PLATFORM");
    platform::setMachineNameSource([](char* buffer, std::size_t capacity) {
        std::snprintf(buffer, capacity, "%s", "aarch64");
        return true;
    });
    auto logText = [&] { return testsupport::readLogs(home); };
    x11::NativeWindow box = 0, owner = 0;
    bool ownerShown = false;
    std::string logAtBox;
    x11::Image picture;
    std::thread user([&] {
        box = x11::waitForWindowNamed("\xe3\x80\x8aMorvel 3\xe3\x80\x8b", 60000);  // the title, string 103
        if (box == 0) return;
        owner = x11::transientOwner(box);
        ownerShown = owner != 0 && owner != x11::rootWindow() && x11::isViewable(owner);
        logAtBox = logText();
        // Mapped is not yet painted, and X tells nobody when a client has
        // drawn: look again until the icon shows or the time is up.
        if (x11::waitUntilViewable(box, 30000)) {
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (x11::grabScreen(box, picture) && redPixels(picture) <= 50 && std::chrono::steady_clock::now() < until) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
        x11::askToClose(box);
    });
    const int code = GameLauncherMain();
    user.join();
    platform::setMachineNameSource(nullptr);

    EXPECT_EQ(code, 0);
    ASSERT_NE(box, 0u) << "no box titled with string 103 appeared";
    // Owned by no window of the program a player could see: at most the
    // screen, or the toolkit's unmapped group leader, which Qt names as the
    // owner of a dialog without a parent once it has set the property (the
    // box may be found before or after that).
    EXPECT_FALSE(ownerShown) << owner;
    ASSERT_GT(picture.width, 0u) << "the box never showed";
    EXPECT_GT(redPixels(picture), 50u) << "no error icon";
    keepForALook(picture, "refusal-box.png");
    // The start report had gone out (and failed: nothing is configured)
    // when the box came up; no window and no update workflow ever ran.
    EXPECT_NE(logAtBox.find("event=GLHR_STR"), std::string::npos) << logAtBox;
    const std::string text = logText();
    expectInOrder(text, {"[GameLauncher:31]GameLauncher Start\r\n", "event=GLHR_STR",
                             "[GameLauncher:176] DataReport_common failed evt:GLHR_STR", kExitLine});
    for (const char* absent : {"[upgradeManager:", "[DlgGameLauncher:", "[GameLauncher:101]", "[GameLauncher:132]"}) {
        EXPECT_EQ(text.find(absent), std::string::npos) << absent << "\n" << text;
    }
    EXPECT_EQ(x11::findMarkedWindow(launcherprotocol::kBootstrapperWindowMark), 0u);
}

TEST(GameLauncherNoDisplay, AToolkitThatCannotStartEndsThroughTheShutdownWithCodeOne) {
    // No X server and no other platform: the program must not crash; it
    // logs why and shuts down in order, with exit code 1.
    struct Case {
        const char* what;
        std::map<std::string, std::string> env;
        const char* reason;
    };
    const Case cases[] = {
        {"no display", {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}}, "no display"},
        {"display that does not answer",
         {{"DISPLAY", ":4093"}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}},
         nullptr},
        {"no such platform plugin", {{"QT_QPA_PLATFORM", "nosuchplatform"}}, nullptr},
    };
    for (const Case& c : cases) {
        testsupport::TempHome home;
        const fs::path game = home.root() / "game";
        fs::create_directories(game);
        fs::copy_file(testsupport::builtProgram("gamelauncher"), game / "gamelauncher");
        const auto run = testsupport::runProgram(game / "gamelauncher", {}, game, c.env);
        EXPECT_EQ(run.exitCode, 1) << c.what << "\n" << run.output;
        const std::string text = testsupport::readLogs(home);
        const std::size_t failed = text.find("[GameLauncher:101]StartToolkit failed:");
        EXPECT_NE(failed, std::string::npos) << c.what << "\n" << text;
        if (c.reason != nullptr) {
            EXPECT_NE(text.find(std::string("StartToolkit failed:") + c.reason + "\r\n"), std::string::npos) << text;
        }
        // The report went out before; the shutdown runs in full after.
        EXPECT_LT(text.find("[GameLauncher:284]WriteFile OK"), failed) << c.what;
        EXPECT_GT(text.find(kExitLine), failed) << c.what;
        EXPECT_EQ(text.size() - text.find(kExitLine), kExitLine.size()) << c.what;
    }
}

}  // namespace
