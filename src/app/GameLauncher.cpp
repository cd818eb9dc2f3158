#include "app/GameLauncher.h"

#include <cstring>
#include <new>
#include <string>

#include "app/AppLog.h"
#include "app/CrashReport.h"
#include "app/CrashTestHook.h"
#include "app/GamePathRecord.h"
#include "app/InstanceGuard.h"
#include "app/VersionFile.h"
#include "app/systemSign.h"
#include "foundation/Log.h"
#include "foundation/StringTable.h"
#include "foundation/SystemUtil.h"
#include "identity/Identity.h"
#include "platform/com.h"
#include "platform/error.h"
#include "service/KTUpgrade.h"
#include "ui/DlgGameLauncher.h"
#include "ui/toolkit/Toolkit.h"
#include "upgrade/upgradeManager.h"

namespace {

constexpr const ModuleLog& kLog = kGameLauncherLog;

// The window's style: a visible borderless pop-up that clips its siblings
// and children (WS_POPUP | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN).
constexpr uint32_t kWindowStyle = 0x96000000u;

// The exit code when the program could not show its window at all: no
// windowing system, or a skin that cannot be built.
constexpr int kExitNoWindow = 1;

// What start-up created, so that shutdown releases exactly that, in the
// reverse order.
struct Session {
    wchar_t title[128] = {};
    wchar_t programFolder[kMaxPathChars] = {};
    char version[32] = {};
    KTUpgrade* ktUpgrade = nullptr;
    bool toolkitStarted = false;
    bool comStarted = false;
    CDlgGameLauncher* window = nullptr;
    UpgradeManager* manager = nullptr;
    int exitCode = 0;
};

// ---- crash reporting ------------------------------------------------------
// The reporter's sender is looked for next to the program; every report
// carries the log file. Whatever the install returns, start-up goes on.
void installCrashReporting() {
    installCrashReport(L".\\", identity::kCrashApplicationName, L"1.0.0.15");
    addCrashReportFile(L"LogFile", GetLogFilePath());
    runCrashTestHook();
}

// Writes its own log line.
void uninstallCrashReporting() { uninstallCrashReport(); }

// ---- start-up steps ---------------------------------------------------------

bool findProgramFolder(Session& s) {
    if (GetCurrentExePath(s.programFolder, kMaxPathChars)) return true;
    kLog(64, "GetCurrentExePath Failed LastErrorID:%u", platform::lastError());
    return false;
}

bool createServiceClient(Session& s) {
    // The client keeps a pointer to the folder text, which lives in the
    // session until shutdown has deleted the client.
    s.ktUpgrade = getKTUpgrade(s.programFolder, LogServiceError);
    if (s.ktUpgrade != nullptr) return true;
    kLog(74, "GameLauncher Quit pKTUpgrade is NULL");
    return false;
}

void readOwnVersion(Session& s) {
    const int praseRes = praseVersionFile(s.programFolder, s.version);
    if (praseRes == 0) return;
    kLog(81, "praseVersionFile praseRes:%d", praseRes);
    std::memset(s.version, 0, sizeof s.version);
    std::strcpy(s.version, "NotExist");
}

// Reports are fire and forget: a failure is logged and changes nothing.
void reportData(KTUpgrade* ktUpgrade, const char* event, const char* version, const char* ext) {
    if (ktUpgrade == nullptr) {
        kLog(171, " reportData failed m_pKtUpgrade == NULL evt:%s", event);
        return;
    }
    const int res = ktUpgrade->DataReport_common(0, 0, version, event, ext);
    if (res != 0) kLog(176, " DataReport_common failed evt:%s reportRes:%d", event, res);
}

// The toolkit, started once with the program folder as its resource path.
// A windowing system that cannot be reached is no reason to crash: it is
// logged and the run ends through the ordinary shutdown, with the exit code
// that says no window could be shown.
bool startToolkit(Session& s) {
    if (s.toolkitStarted) return true;
    const std::wstring resourcePath = std::wstring(s.programFolder) + L"/";
    const ui::ToolkitStart started = ui::StartToolkit(resourcePath.c_str());
    if (started == ui::ToolkitStart::Started) {
        s.toolkitStarted = true;
        return true;
    }
    kLog(101, "StartToolkit failed:%s", ui::ToolkitStartText(started));
    s.exitCode = kExitNoWindow;
    return false;
}

// The game runs on 64-bit systems only. The refusal is a box without an
// owner; on Windows it needs nothing started, here the toolkit has to run
// first to show it.
bool requireSixtyFourBitSystem(Session& s) {
    if (GetOSBits() == 64) return true;
    wchar_t text[256] = {};
    LoadStringResource(IDS_NEED_64BIT, text, 256);
    if (startToolkit(s)) ui::MessageBox(nullptr, text, s.title, ui::MessageIcon::Error);
    return false;
}

// The component apartment brackets the toolkit's lifetime (the window's
// picture decoder needs it where there is one); its end is where the
// toolkit stops, after the window has gone.
bool beginUiBracket(Session& s) {
    if (!platform::initializeCom()) {
        kLog(98, "::CoInitialize failed");
        return false;
    }
    s.comStarted = true;
    return true;
}

void endUiBracket(Session& s) {
    // The toolkit may also have been started for the refusal box alone,
    // before the bracket.
    if (s.toolkitStarted) ui::StopToolkit();
    s.toolkitStarted = false;
    if (s.comStarted) platform::uninitializeCom();
    s.comStarted = false;
}

bool createWindowObject(Session& s) {
    s.window = new (std::nothrow) CDlgGameLauncher;
    if (s.window != nullptr) return true;
    kLog(107, "create CDlgGameLauncher() failed");
    return false;
}

bool createUpgradeManager(Session& s) {
    s.manager = new (std::nothrow) UpgradeManager;
    if (s.manager != nullptr) return true;
    kLog(114, " UpgradeManager Create Failed");
    return false;
}

bool createAndShowWindow(Session& s) {
    const auto created = s.window->Create(nullptr, s.title, kWindowStyle, 0);
    if (created != ui::SkinWindow::CreateResult::Created) {
        // The skin failure has shown its "Error" box already.
        kLog(119, "Create window failed result:%d", static_cast<int>(created));
        s.exitCode = kExitNoWindow;
        return false;
    }
    s.window->CenterWindow();
    s.window->ShowWindow(true, true);
    return true;
}

// InitControls has logged why when it fails.
bool initControls(Session& s) { return s.window->InitControls(); }

bool startUpgrade(Session& s) {
    const int32_t resCode = s.manager->checkUpgrade(s.window);
    if (resCode == kCheckStarted) return true;
    kLog(127, "pManager->checkUpgrade failed resCode:%d", resCode);
    return false;
}

// Returns true when start-up got far enough for the message loop to run;
// every false leads to the same shutdown.
bool startUp(Session& s) {
    installCrashReporting();
    LoadStringResource(IDS_TITLE, s.title, 128);
    if (!findProgramFolder(s)) return false;
    WriteGamePathRecord(s.programFolder);
    if (!createServiceClient(s)) return false;
    readOwnVersion(s);
    // Synchronous, before any window exists.
    reportData(s.ktUpgrade, "GLHR_STR", s.version, "");
    if (!requireSixtyFourBitSystem(s)) return false;
    if (!beginUiBracket(s)) return false;
    if (!startToolkit(s)) return false;
    if (!createWindowObject(s)) return false;
    if (!createUpgradeManager(s)) return false;
    if (!createAndShowWindow(s)) return false;
    if (!initControls(s)) return false;
    return startUpgrade(s);
}

void runMessageLoop() {
    ui::RunMessageLoop();
    kLog(132, "MessageLoop Quit");
}

void shutDown(Session& s) {
    // The manager goes first: its worker may still reach the window and the
    // service client until it has been joined.
    delete s.manager;
    s.manager = nullptr;
    delete s.window;
    s.window = nullptr;
    delete s.ktUpgrade;
    s.ktUpgrade = nullptr;
    endUiBracket(s);
    uninstallCrashReporting();
    kLog(154, "GameLauncher Exit \r\n\r\n");
    ReleaseLogger();
}

}  // namespace

int GameLauncherMain() {
    kLog(31, "GameLauncher Start");
    // Held until the very end, after the log is closed.
    platform::Marker guard;
    if (IsInstanceRunning(guard)) {
        kLog(35, "Instance Exist");
        ReleaseLogger();
        return 0;
    }
    Session session;
    if (startUp(session)) runMessageLoop();
    shutDown(session);
    guard.release();
    return session.exitCode;
}
