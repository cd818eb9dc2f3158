// The toolkit's start and its skin failures: a toolkit that cannot reach a
// window system reports it instead of ending the process, a skin that
// cannot be built gives the "Error" box, and a skin without the progress
// control fails InitControls with its log line.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>

#include <cstdlib>
#include <string>

#include "foundation/Log.h"
#include "support/BoxWatcher.h"
#include "support/LogReader.h"
#include "support/TempHome.h"
#include "ui/DlgGameLauncher.h"
#include "ui/toolkit/Toolkit.h"

namespace {

constexpr uint32_t kStyle = 0x96000000;

// The progress window with another compiled-in skin archive.
class SkinnedDlg : public CDlgGameLauncher {
public:
    explicit SkinnedDlg(std::wstring resourceId) : m_id(std::move(resourceId)) {}

protected:
    std::wstring GetResourceID() const override { return m_id; }

private:
    std::wstring m_id;
};

// Sets or clears an environment variable for one test.
class EnvVar {
public:
    EnvVar(const char* name, const char* value) : m_name(name) {
        if (const char* old = std::getenv(name)) m_old = old;
        m_had = std::getenv(name) != nullptr;
        if (value != nullptr) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
    }
    ~EnvVar() {
        if (m_had) {
            ::setenv(m_name, m_old.c_str(), 1);
        } else {
            ::unsetenv(m_name);
        }
    }

private:
    const char* m_name;
    std::string m_old;
    bool m_had = false;
};

TEST(ToolkitStartTest, NoWindowSystemIsReportedNotFatal) {
    struct Case {
        const char* platform;  // QT_QPA_PLATFORM, null: unset
        const char* display;   // DISPLAY, null: unset
        ui::ToolkitStart expected;
    };
    const Case cases[] = {
        {nullptr, nullptr, ui::ToolkitStart::NoDisplay},
        {"xcb", nullptr, ui::ToolkitStart::NoDisplay},
        // A display nobody serves.
        {nullptr, ":4711", ui::ToolkitStart::PlatformFailed},
        {"xcb", ":4711", ui::ToolkitStart::PlatformFailed},
        // A platform whose plugin is not installed.
        {"no-such-platform", nullptr, ui::ToolkitStart::PlatformFailed},
        {"wayland", nullptr, ui::ToolkitStart::PlatformFailed},
    };
    EnvVar wayland("WAYLAND_DISPLAY", nullptr);
    for (const Case& c : cases) {
        EnvVar platform("QT_QPA_PLATFORM", c.platform);
        EnvVar display("DISPLAY", c.display);
        EXPECT_EQ(ui::StartToolkit(L"/"), c.expected) << (c.platform ? c.platform : "-") << " " << (c.display ? c.display : "-");
        EXPECT_FALSE(ui::ToolkitStarted());
        EXPECT_EQ(QCoreApplication::instance(), nullptr);
    }
    // A fallback list takes the first platform that can start.
    EnvVar platform("QT_QPA_PLATFORM", "xcb;offscreen");
    EnvVar display("DISPLAY", nullptr);
    ASSERT_EQ(ui::StartToolkit(L"/game/"), ui::ToolkitStart::Started);
    EXPECT_EQ(QGuiApplication::platformName(), QStringLiteral("offscreen"));
    EXPECT_EQ(std::wstring(ui::ToolkitResourcePath()), L"/game/");
    EXPECT_EQ(ui::StartToolkit(L"/game/"), ui::ToolkitStart::AlreadyStarted);
    ui::StopToolkit();
    EXPECT_FALSE(ui::ToolkitStarted());
}

class SkinFailureTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        ASSERT_EQ(ui::StartToolkit(L"/nonexistent/"), ui::ToolkitStart::Started);
    }
    void TearDown() override {
        ui::StopToolkit();
        ReleaseLogger();
    }
    testsupport::TempHome home;
};

TEST_F(SkinFailureTest, UnbuildableSkinShowsTheErrorBox) {
    struct Case {
        const wchar_t* id;
        const char* what;
    };
    const Case cases[] = {
        {L"131", "resource that is not a ZIP archive"},
        {L"133", "archive without gamelauncher.xml"},
        {L"134", "skin document that is not well-formed XML"},
        {L"199", "no such resource"},
    };
    for (const Case& c : cases) {
        testsupport::BoxWatcher watcher;
        SkinnedDlg dlg(c.id);
        EXPECT_EQ(dlg.Create(nullptr, L"title", kStyle, 0), ui::SkinWindow::CreateResult::SkinFailed) << c.what;
        EXPECT_FALSE(dlg.IsCreated()) << c.what;
        ASSERT_EQ(watcher.boxes().size(), 1u) << c.what;
        EXPECT_EQ(watcher.boxes()[0].caption, L"Error");
        EXPECT_EQ(watcher.boxes()[0].text, L"加载资源文件失败");
        EXPECT_EQ(watcher.boxes()[0].icon, QMessageBox::Critical);
    }
}

TEST_F(SkinFailureTest, CompiledInSkinBuildsWithoutABox) {
    testsupport::BoxWatcher watcher;
    CDlgGameLauncher dlg;
    ASSERT_EQ(dlg.Create(nullptr, L"title", kStyle, 0), ui::SkinWindow::CreateResult::Created);
    EXPECT_TRUE(watcher.boxes().empty());
    // Each control of the skin, found by its name.
    for (const char* name : {"_BG_", "_pgsbar", "btnClose"}) EXPECT_NE(dlg.FindControl(name), nullptr) << name;
    EXPECT_EQ(dlg.FindControl("nothing"), nullptr);
    EXPECT_EQ(dlg.Create(nullptr, L"title", kStyle, 0), ui::SkinWindow::CreateResult::NotPossible);
}

TEST_F(SkinFailureTest, SkinWithoutProgressFailsInitControls) {
    SkinnedDlg dlg(L"132");
    ASSERT_EQ(dlg.Create(nullptr, L"title", kStyle, 0), ui::SkinWindow::CreateResult::Created);
    EXPECT_FALSE(dlg.InitControls());
    // A progress message now still changes nothing and breaks nothing.
    dlg.SetProgress(250, {});
    EXPECT_TRUE(dlg.IsRunning());
    ReleaseLogger();
    const std::string log = testsupport::readLogs(home);
    EXPECT_NE(log.find(" [DlgGameLauncher:84] Load progress control failed\r\n"), std::string::npos) << log;
}

TEST(ToolkitWithoutStartTest, WindowCannotBeMadeAndBoxesAreRefused) {
    CDlgGameLauncher dlg;
    EXPECT_EQ(dlg.Create(nullptr, L"title", kStyle, 0), ui::SkinWindow::CreateResult::NotPossible);
    EXPECT_EQ(ui::MessageBox(nullptr, L"text", L"caption", ui::MessageIcon::Error), 0);
    EXPECT_EQ(dlg.Close({}), 0);
    EXPECT_TRUE(dlg.IsRunning());
}

}  // namespace
