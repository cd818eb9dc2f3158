// The built program's window under Wine, as another program and the player
// see it: the skin's window class, title and size, centred, carrying the
// bootstrapper's window property; Escape does not close it, and a click on
// the close button mid-download ends the run in order without starting the
// launcher.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <string>

#include "foundation/Md5.h"
#include "foundation/StringTable.h"
#include "gamelauncher/LauncherProtocol.h"
#include "support/ChildProcess.h"
#include "support/FakeHttpServer.h"
#include "support/GameFolder.h"
#include "support/LinuxPrograms.h"
#include "support/UpdateService.h"
#include "support/WaitUntil.h"
#include "ui/DlgGameLauncher.h"

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

const std::string kExitLine = "[GameLauncher:154]GameLauncher Exit \r\n\r\n\r\n";

std::wstring wide(const char* ascii) { return std::wstring(ascii, ascii + std::char_traits<char>::length(ascii)); }

class GameLauncherWindowWin : public testsupport::GameFolderTest {
protected:
    void SetUp() override {
        if (!testsupport::wineHasDisplay()) {
            GTEST_SKIP() << "no X display for Wine's windows: DISPLAY is not set";
        }
        GameFolderTest::SetUp();
    }
    // An installed launcher listed with its MD5, so that the installed-file
    // check passes and the run goes on to the update.
    void installLauncher() {
        const fs::path client = home.data() / "Keltora/morvel3/client";
        fs::create_directories(client);
        writeFile(client / "launcher.exe", "not started in this test");
        char md5[33] = {};
        ASSERT_EQ(getFileMd5((client / "launcher.exe").wstring().c_str(), md5), 0);
        writeFile(client / "launcher.db", std::string("{\"files\":[{\"client/launcher.exe\":\"") + md5 +
                                              "\"}],\"version\":\"1.0.0.7\"}");
    }
};

TEST_F(GameLauncherWindowWin, MidDownloadTheWindowIsTheSkinsAndTheCloseButtonEndsTheRun) {
    installLauncher();
    // The download never gets its first piece: the window stays up.
    testsupport::FakeHttpServer packages;
    packages.serve("/client.zip", std::string(200000, 'z'));
    packages.holdRange(0);
    testsupport::UpdateService service({"--version", "2.0.0.0", "--package-url", packages.url("/client.zip"), "--md5",
                                        "0123456789abcdef0123456789abcdef", "--quiet"});
    ASSERT_FALSE(service.base().empty());
    writeFile(game / "launcher.ini", "[UPGRADE]\r\nSERVER_UPGRADE_0=" + service.base() + "\r\n");

    testsupport::ChildProcess program(gameProgram, {}, game);
    ASSERT_TRUE(program.started());
    const std::wstring windowClass = wide(identity::kWindowClass);
    HWND window = nullptr;
    ASSERT_TRUE(testsupport::waitUntil([&] {
        window = ::FindWindowW(windowClass.c_str(), nullptr);
        return window != nullptr && ::IsWindowVisible(window);
    }));
    ASSERT_TRUE(packages.waitForRequest([](const auto& r) { return r.method == "GET"; }));

    wchar_t title[128] = {};
    LoadStringResource(IDS_TITLE, title, 128);
    wchar_t shown[128] = {};
    ::GetWindowTextW(window, shown, 128);
    EXPECT_EQ(std::wstring(shown), std::wstring(title));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(::GetPropW(window, wide(launcherprotocol::kBootstrapperWindowMark).c_str())),
              uintptr_t{launcherprotocol::kWindowMarkValue});
    // Borderless, of the skin's size, in the middle of the work area.
    const LONG style = ::GetWindowLongW(window, GWL_STYLE);
    EXPECT_EQ(style & WS_CAPTION, 0);
    EXPECT_NE(style & WS_POPUP, 0);
    RECT frame{};
    ASSERT_TRUE(::GetWindowRect(window, &frame));
    EXPECT_EQ(frame.right - frame.left, 408);
    EXPECT_EQ(frame.bottom - frame.top, 172);
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    ASSERT_TRUE(::GetMonitorInfoW(::MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &monitor));
    EXPECT_EQ(frame.left, monitor.rcWork.left + (monitor.rcWork.right - monitor.rcWork.left - 408) / 2);
    EXPECT_EQ(frame.top, monitor.rcWork.top + (monitor.rcWork.bottom - monitor.rcWork.top - 172) / 2);
    // Over the picture the window drags; over the close button it does not.
    EXPECT_EQ(::SendMessageW(window, WM_NCHITTEST, 0, MAKELPARAM(frame.left + 100, frame.top + 100)), HTCAPTION);
    EXPECT_EQ(::SendMessageW(window, WM_NCHITTEST, 0, MAKELPARAM(frame.left + 387, frame.top + 24)), HTCLIENT);

    // Escape changes nothing: the window is still up and the run goes on.
    ::SendMessageW(window, WM_KEYDOWN, VK_ESCAPE, 0);
    ::SendMessageW(window, WM_KEYUP, VK_ESCAPE, 0);
    EXPECT_TRUE(::IsWindowVisible(window));
    EXPECT_TRUE(program.running());

    // The player clicks the close button (377,14, 20 x 20).
    const LPARAM onButton = MAKELPARAM(387, 24);
    ::SendMessageW(window, WM_MOUSEMOVE, 0, onButton);
    ::SendMessageW(window, WM_LBUTTONDOWN, MK_LBUTTON, onButton);
    ::SendMessageW(window, WM_LBUTTONUP, 0, onButton);
    EXPECT_EQ(program.wait(std::chrono::seconds(60)), 0);

    const std::string text = log();
    const std::size_t quit = text.find("[GameLauncher:132]MessageLoop Quit\r\n");
    EXPECT_NE(quit, std::string::npos) << text;
    EXPECT_GT(text.find(kExitLine), quit) << text;
    EXPECT_EQ(text.size() - text.find(kExitLine), kExitLine.size()) << text;
    EXPECT_EQ(text.find("start launcher.exe"), std::string::npos) << text;
    EXPECT_FALSE(fs::exists(home.data() / "Keltora/morvel3/client/launcher.args"));
}

}  // namespace
