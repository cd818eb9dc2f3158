// The progress window as the user meets it, offscreen: what its pictures
// show at each value, the close button's states and click, the drag area,
// the keys, the warning box, and the blocking sends of the update workflow's
// threads.
#include "ui/DlgGameLauncher.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QAbstractButton>
#include <QImage>
#include <QMessageBox>
#include <QPainter>
#include <QTest>
#include <QWindow>
#include <QTimer>

#include <atomic>
#include <filesystem>
#include <stop_token>
#include <string>
#include <thread>

#include "foundation/Log.h"
#include "foundation/StringTable.h"
#include "gamelauncher/LauncherProtocol.h"
#include "platform/marker.h"
#include "support/BoxWatcher.h"
#include "support/TempHome.h"
#include "ui/toolkit/Controls.h"
#include "ui/toolkit/qt/SkinWindowWidget.h"
#include "ui/toolkit/Toolkit.h"

namespace {

constexpr uint32_t kStyle = 0x96000000;  // WS_POPUP | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN
constexpr int kTrackRow = 153;           // a row where the overlay differs from the background in every column
const QRect kButton(377, 14, 20, 20);

QImage picture(const char* name) {
    QImage image(QStringLiteral(GL_TEST_SOURCE_DIR "/resources/skin/picRes/") + QLatin1String(name));
    return image.convertToFormat(QImage::Format_ARGB32);
}

// The window as it is drawn, with the window's own pictures.
QImage grab(const CDlgGameLauncher& dlg) { return dlg.widget()->grab().toImage().convertToFormat(QImage::Format_ARGB32); }

// The pixel counts as the overlay's when it matches the overlay picture and
// not the background's.
int uncoveredColumns(const QImage& shot) {
    const QImage bg = picture("gl_bg.png");
    const QImage fg = picture("gl_pgs_fg.png");
    int columns = 0;
    for (int x = 0; x < shot.width(); ++x) {
        const QRgb p = shot.pixel(x, kTrackRow);
        if (p == fg.pixel(x, kTrackRow) && p != bg.pixel(x, kTrackRow)) ++columns;
    }
    return columns;
}

// Whether the overlay is uncovered exactly over the first `n` columns: the
// rest shows the background.
bool uncoveredFromLeft(const QImage& shot, int n) {
    const QImage bg = picture("gl_bg.png");
    const QImage fg = picture("gl_pgs_fg.png");
    for (int x = 0; x < shot.width(); ++x) {
        const QRgb expected = x < n ? fg.pixel(x, kTrackRow) : bg.pixel(x, kTrackRow);
        if (shot.pixel(x, kTrackRow) != expected) return false;
    }
    return true;
}

// The close button's picture `name` as it looks over the background.
QImage buttonOverBackground(const char* name) {
    QImage expected = picture("gl_bg.png").copy(kButton).convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QPainter painter(&expected);
    painter.drawImage(0, 0, picture(name));
    painter.end();
    return expected.convertToFormat(QImage::Format_ARGB32);
}

// Equal up to rounding of the blend.
bool samePixels(const QImage& a, const QImage& b) {
    if (a.size() != b.size()) return false;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y);
            const QRgb q = b.pixel(x, y);
            if (std::abs(qRed(p) - qRed(q)) > 2 || std::abs(qGreen(p) - qGreen(q)) > 2 ||
                std::abs(qBlue(p) - qBlue(q)) > 2)
                return false;
        }
    }
    return true;
}

// Records which window messages the window had handled by when.
class ObservedDlg : public CDlgGameLauncher {
public:
    std::atomic<int> progressHandled{0};
    std::atomic<int> closesHandled{0};

protected:
    intptr_t HandleCustomMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam, bool& handled) override {
        const intptr_t r = CDlgGameLauncher::HandleCustomMessage(msg, wParam, lParam, handled);
        if (msg == WM_LAUNCHER_PROGRESS) progressHandled.fetch_add(1);
        if (msg == ui::kWmClose) closesHandled.fetch_add(1);
        return r;
    }
};

class DlgGameLauncherTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        ASSERT_EQ(ui::StartToolkit(L"/nonexistent/"), ui::ToolkitStart::Started);
        wchar_t title[128] = {};
        LoadStringResource(IDS_TITLE, title, 128);
        ASSERT_EQ(dlg.Create(nullptr, title, kStyle, 0), ui::SkinWindow::CreateResult::Created);
        dlg.CenterWindow();
        dlg.ShowWindow(true, true);
    }
    void TearDown() override {
        dlg.~ObservedDlg();
        new (&dlg) ObservedDlg();  // destroyed again, harmlessly, after the toolkit
        ui::StopToolkit();
        ReleaseLogger();
    }

    ui::SkinWindowWidget* window() { return dlg.widget(); }
    // The mouse as the window system delivers it: to the control under the
    // pointer, with the implicit grab of a press, enter and leave.
    QWindow* handle() { return dlg.widget()->windowHandle(); }
    void press(QPoint p) { QTest::mousePress(handle(), Qt::LeftButton, {}, p); }
    void moveTo(QPoint p) { QTest::mouseMove(handle(), p); }
    void release(QPoint p) { QTest::mouseRelease(handle(), Qt::LeftButton, {}, p); }
    void click(QPoint p) { QTest::mouseClick(handle(), Qt::LeftButton, {}, p); }
    ui::Progress* bar() { return dynamic_cast<ui::Progress*>(dlg.FindControl("_pgsbar")); }
    ui::Button* closeButton() { return dynamic_cast<ui::Button*>(dlg.FindControl("btnClose")); }

    // Runs the loop; a loop that does not end by itself within a generous
    // bound ends with 99 so the test fails instead of hanging.
    int runLoop() {
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(99); });
        guard.start(20000);
        return ui::RunMessageLoop();
    }

    testsupport::TempHome home;
    ObservedDlg dlg;
};

TEST_F(DlgGameLauncherTest, WindowHasTheSkinsSizeTitleAndIcon) {
    EXPECT_EQ(window()->size(), QSize(408, 172));
    EXPECT_TRUE(window()->windowFlags().testFlag(Qt::FramelessWindowHint));
    EXPECT_EQ(window()->windowTitle().toStdWString(), L"《Morvel 3》");
    EXPECT_FALSE(window()->windowIcon().isNull());
    EXPECT_TRUE(dlg.IsWindowVisible());
    // Centred on the work area.
    const QRect work = window()->screen()->availableGeometry();
    EXPECT_EQ(window()->geometry().center().x() / 2, work.center().x() / 2);
    EXPECT_EQ(window()->geometry().center().y() / 2, work.center().y() / 2);
}

TEST_F(DlgGameLauncherTest, OverlayIsUncoveredFromTheLeftInProportionToTheValue) {
    ASSERT_TRUE(dlg.InitControls());
    EXPECT_EQ(bar()->GetMinValue(), 0);
    EXPECT_EQ(bar()->GetMaxValue(), 500);
    struct Case {
        uint32_t value;
        int columns;  // 408 × value / 500, fractions dropped; above 500 counts as 500
    };
    const Case cases[] = {{0, 0}, {250, 204}, {500, 408}, {600, 408}, {1, 0}, {2, 1}, {499, 407}, {0, 0}};
    for (const Case& c : cases) {
        dlg.SetProgress(c.value, {});
        const QImage shot = grab(dlg);
        EXPECT_EQ(uncoveredColumns(shot), c.columns) << "value " << c.value;
        EXPECT_TRUE(uncoveredFromLeft(shot, c.columns)) << "value " << c.value;
    }
}

TEST_F(DlgGameLauncherTest, ProgressBeforeInitControlsChangesNothing) {
    // The skin's own value: 50 of 0..100.
    const int before = uncoveredColumns(grab(dlg));
    EXPECT_EQ(before, 204);
    dlg.SetProgress(400, {});
    EXPECT_EQ(bar()->GetValue(), 50);
    EXPECT_EQ(uncoveredColumns(grab(dlg)), before);
    EXPECT_EQ(dlg.progressHandled.load(), 1);
    EXPECT_TRUE(dlg.IsRunning());
}

TEST_F(DlgGameLauncherTest, CloseButtonShowsItsFourStates) {
    ASSERT_TRUE(dlg.InitControls());
    const QImage normal = buttonOverBackground("btn_close.png");
    const QImage hot = buttonOverBackground("btn_close_hover.png");
    const QImage pushed = buttonOverBackground("btn_close_press.png");
    const QImage disabled = buttonOverBackground("btn_close_disable.png");
    // The states must look different for the check below to mean anything.
    ASSERT_FALSE(samePixels(normal, hot));
    ASSERT_FALSE(samePixels(hot, pushed));
    ASSERT_FALSE(samePixels(normal, disabled));
    ASSERT_FALSE(samePixels(pushed, disabled));

    const QPoint centre = kButton.center();
    EXPECT_TRUE(samePixels(grab(dlg).copy(kButton), normal));
    moveTo(centre);
    EXPECT_EQ(closeButton()->state(), ui::Button::State::Hot);
    EXPECT_TRUE(samePixels(grab(dlg).copy(kButton), hot));
    press(centre);
    EXPECT_EQ(closeButton()->state(), ui::Button::State::Pushed);
    EXPECT_TRUE(samePixels(grab(dlg).copy(kButton), pushed));
    // Leaving while pressed shows it raised again; no click on release
    // outside.
    moveTo(QPoint(200, 100));
    EXPECT_EQ(closeButton()->state(), ui::Button::State::Normal);
    release(QPoint(200, 100));
    EXPECT_TRUE(dlg.IsRunning());
    closeButton()->SetEnabled(false);
    EXPECT_TRUE(samePixels(grab(dlg).copy(kButton), disabled));
}

TEST_F(DlgGameLauncherTest, CloseClickStopsRunningBeforeTheQuitIsProcessed) {
    ASSERT_TRUE(dlg.InitControls());
    click(kButton.center());
    // The loop has not run: the quit is only queued, yet the flag is down
    // and the window hidden.
    EXPECT_FALSE(dlg.IsRunning());
    EXPECT_FALSE(dlg.IsWindowVisible());
    EXPECT_EQ(dlg.closesHandled.load(), 1);
    EXPECT_EQ(runLoop(), 0);
    // Hidden, not destroyed; another close only posts another quit.
    EXPECT_TRUE(dlg.IsCreated());
    EXPECT_EQ(dlg.Close({}), 0);
    EXPECT_FALSE(dlg.IsRunning());
    EXPECT_TRUE(dlg.IsCreated());
    EXPECT_EQ(runLoop(), 0);
}

TEST_F(DlgGameLauncherTest, WindowSystemCloseIsTheWindowsOwnClose) {
    window()->close();  // what a window manager's close request does
    EXPECT_FALSE(dlg.IsRunning());
    EXPECT_FALSE(dlg.IsWindowVisible());
    EXPECT_TRUE(dlg.IsCreated());
    EXPECT_EQ(runLoop(), 0);
}

TEST_F(DlgGameLauncherTest, EscapeAndEnterDoNothing) {
    ASSERT_TRUE(dlg.InitControls());
    for (Qt::Key key : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter}) QTest::keyClick(window(), key);
    EXPECT_TRUE(dlg.IsRunning());
    EXPECT_TRUE(dlg.IsWindowVisible());
    // No quit was queued: the loop ends only with the one posted here.
    ui::PostQuitMessage(7);
    EXPECT_EQ(runLoop(), 7);
}

TEST_F(DlgGameLauncherTest, DragInTheCaptionMovesTheWindowButNotOnTheButton) {
    ASSERT_TRUE(dlg.InitControls());
    struct Case {
        QPoint press;
        QPoint distance;
        bool moves;
    };
    const Case cases[] = {
        {{100, 100}, {30, 20}, true},    // on the picture
        {{5, 160}, {-40, -25}, true},    // on the progress track, near the corner
        {{kButton.center()}, {30, 20}, false},  // on the close button
    };
    for (const Case& c : cases) {
        const QPoint before = window()->pos();
        press(c.press);
        moveTo(c.press + c.distance);
        // The pointer stays over the same spot of a window that followed it.
        const QPoint releaseAt = window()->pos() == before ? c.press + c.distance : c.press;
        release(releaseAt);
        EXPECT_EQ(window()->pos(), c.moves ? before + c.distance : before) << c.press.x() << "," << c.press.y();
        EXPECT_TRUE(dlg.IsRunning());
    }
}

TEST_F(DlgGameLauncherTest, WarningBoxDisablesTheWindowUntilConfirmed) {
    ASSERT_TRUE(dlg.InitControls());
    std::atomic<bool> returned{false};
    bool looked = false;
    testsupport::BoxWatcher watcher([&](QMessageBox*) {
        looked = true;
        EXPECT_FALSE(dlg.IsWindowEnabled());
        EXPECT_FALSE(returned.load());
        EXPECT_EQ(closeButton()->state(), ui::Button::State::Disabled);
        // The close button cannot be clicked while the box is open.
        click(kButton.center());
        EXPECT_TRUE(dlg.IsRunning());
    });
    // As the update worker shows it; a failed check stops it on the way out.
    std::jthread worker([&](std::stop_token stop) {
        dlg.ShowWarning(113, stop);
        returned = true;
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return returned.load(); }, 20000));
    EXPECT_TRUE(looked);
    ASSERT_EQ(watcher.boxes().size(), 1u);
    EXPECT_EQ(watcher.boxes()[0].caption, L"Warning");
    EXPECT_EQ(watcher.boxes()[0].text, L"更新游戏引导程序失败，请重试");
    EXPECT_EQ(watcher.boxes()[0].icon, QMessageBox::Warning);
    EXPECT_FALSE(watcher.boxes()[0].ownerEnabled);
    EXPECT_TRUE(dlg.IsWindowEnabled());
    click(kButton.center());
    EXPECT_FALSE(dlg.IsRunning());
}

TEST_F(DlgGameLauncherTest, SendsFromAnotherThreadBlockUntilHandled) {
    ASSERT_TRUE(dlg.InitControls());
    std::atomic<int> seenAfterProgress{-1};
    std::atomic<int> seenAfterHide{-1};
    std::atomic<int32_t> closeResult{99};
    std::atomic<bool> runningAfterClose{true};
    std::jthread worker([&](std::stop_token stop) {
        dlg.SetProgress(250, stop);
        seenAfterProgress = dlg.progressHandled.load();
        dlg.Hide(stop);
        seenAfterHide = dlg.IsWindowVisible() ? 1 : 0;
        closeResult = dlg.Close(stop);
        runningAfterClose = dlg.IsRunning();
    });
    EXPECT_EQ(runLoop(), 0);
    worker.request_stop();
    worker.join();
    EXPECT_EQ(seenAfterProgress.load(), 1);
    EXPECT_EQ(seenAfterHide.load(), 0);
    EXPECT_EQ(closeResult.load(), 0);
    EXPECT_FALSE(runningAfterClose.load());
    EXPECT_EQ(bar()->GetValue(), 250);
}

TEST_F(DlgGameLauncherTest, SendsAfterTheLoopHasEndedReturnOnTheStopRequest) {
    ASSERT_TRUE(dlg.InitControls());
    ui::PostQuitMessage(0);
    ASSERT_EQ(runLoop(), 0);
    // Nothing handles messages any more, as while shutdown destroys the
    // upgrade manager.
    std::stop_source stop;
    std::atomic<bool> started{false};
    std::atomic<int32_t> closeResult{99};
    std::thread worker([&] {
        started = true;
        dlg.SetProgress(300, stop.get_token());
        closeResult = dlg.Close(stop.get_token());
    });
    while (!started.load()) std::this_thread::yield();
    stop.request_stop();
    worker.join();
    EXPECT_EQ(closeResult.load(), kSendInterrupted);
    // The abandoned sends do not run later either.
    QCoreApplication::processEvents();
    EXPECT_EQ(bar()->GetValue(), 0);
    EXPECT_TRUE(dlg.IsRunning());
    EXPECT_EQ(dlg.progressHandled.load(), 0);
}

TEST_F(DlgGameLauncherTest, LauncherProbe) {
    // Nobody holds the launcher's marker.
    EXPECT_FALSE(dlg.IsLauncherRunning({}));
    // A launcher holds it: running, whether or not a window of it is found
    // (none can be on an offscreen display).
    {
        platform::Marker launcher;
        ASSERT_EQ(launcher.acquire(launcherprotocol::kLauncherMarker), platform::Marker::Result::Acquired);
        EXPECT_TRUE(dlg.IsLauncherRunning({}));
    }
    EXPECT_FALSE(dlg.IsLauncherRunning({}));
}

TEST_F(DlgGameLauncherTest, FailedLauncherProbeWarnsAndCountsAsRunning) {
    // The marker's file is a link: the probe cannot look.
    std::filesystem::create_symlink(home.root() / "elsewhere",
                                    home.runtime() / (std::string(launcherprotocol::kLauncherMarker) + ".lock"));
    testsupport::BoxWatcher watcher;
    EXPECT_TRUE(dlg.IsLauncherRunning({}));
    ASSERT_EQ(watcher.boxes().size(), 1u);
    EXPECT_EQ(watcher.boxes()[0].caption, L"Warning");
    EXPECT_EQ(watcher.boxes()[0].text, L"创建窗口唯一标识失败");
    EXPECT_FALSE(watcher.boxes()[0].ownerEnabled);
}

}  // namespace
