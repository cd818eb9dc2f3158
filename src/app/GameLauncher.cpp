#include "app/GameLauncher.h"

#include <cstring>
#include <new>

#include "app/CrashReport.h"
#include "app/CrashTestHook.h"
#include "app/GamePathRecord.h"
#include "app/HeadlessWindow.h"
#include "app/InstanceGuard.h"
#include "app/StringTable.h"
#include "app/VersionFile.h"
#include "foundation/Log.h"
#include "foundation/SystemUtil.h"
#include "platform/error.h"
#include "service/KTUpgrade.h"
#include "upgrade/upgradeManager.h"

namespace {

constexpr ModuleLog kLog{"GameLauncher", L"GameLauncher"};

// What start-up created, so that shutdown releases exactly that.
struct Session {
    wchar_t title[128] = {};
    wchar_t programFolder[kMaxPathChars] = {};
    KTUpgrade* ktUpgrade = nullptr;
    char version[32] = {};
    HeadlessWindow* window = nullptr;
    UpgradeManager* manager = nullptr;
};

// Reports are fire and forget: a failure is logged and changes nothing.
void reportData(KTUpgrade* ktUpgrade, const char* event, const char* version, const char* ext) {
    if (ktUpgrade == nullptr) {
        kLog(171, " reportData failed m_pKtUpgrade == NULL evt:%s", event);
        return;
    }
    const int res = ktUpgrade->DataReport_common(0, 0, version, event, ext);
    if (res != 0) kLog(176, " DataReport_common failed evt:%s reportRes:%d", event, res);
}

// Returns true when start-up got far enough for the message loop to run.
bool startUp(Session& s) {
    // Whatever the install returns, start-up goes on.
    installCrashReport(L".\\", L"morvel3_launcher", L"1.0.0.15");
    addCrashReportFile(L"LogFile", GetLogFilePath());
    runCrashTestHook();

    LoadStringResource(IDS_TITLE, s.title, 128);

    if (!GetCurrentExePath(s.programFolder, kMaxPathChars)) {
        kLog(64, "GetCurrentExePath Failed LastErrorID:%u", platform::lastError());
        return false;
    }
    WriteGamePathRecord(s.programFolder);

    // The client keeps a pointer to the folder text, which lives in the
    // session until shutdown has deleted the client.
    s.ktUpgrade = getKTUpgrade(s.programFolder, LogServiceError);
    if (s.ktUpgrade == nullptr) {
        kLog(74, "GameLauncher Quit pKTUpgrade is NULL");
        return false;
    }
    const int praseRes = praseVersionFile(s.programFolder, s.version);
    if (praseRes != 0) {
        kLog(81, "praseVersionFile praseRes:%d", praseRes);
        std::memset(s.version, 0, sizeof s.version);
        std::strcpy(s.version, "NotExist");
    }
    // Synchronous, before any window exists.
    reportData(s.ktUpgrade, "GLHR_STR", s.version, "");

    // The window without pixels stands in for the progress window.
    s.window = new (std::nothrow) HeadlessWindow;
    if (s.window == nullptr) {
        kLog(107, "create CDlgGameLauncher() failed");
        return false;
    }
    s.manager = new (std::nothrow) UpgradeManager;
    if (s.manager == nullptr) {
        kLog(114, " UpgradeManager Create Failed");
        return false;
    }
    const int32_t resCode = s.manager->checkUpgrade(s.window->window());
    if (resCode != 0) {
        kLog(127, "pManager->checkUpgrade failed resCode:%d", resCode);
        return false;
    }
    return true;
}

void runMessageLoop(Session& s) {
    s.window->runMessageLoop();
    kLog(132, "MessageLoop Quit");
}

void shutDown(Session& s) {
    // The upgrade manager and the window go before the service client: the
    // worker may still use the client until the manager is gone.
    delete s.manager;
    s.manager = nullptr;
    delete s.window;
    s.window = nullptr;
    delete s.ktUpgrade;
    s.ktUpgrade = nullptr;
    uninstallCrashReport();
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
    if (startUp(session)) runMessageLoop(session);
    shutDown(session);
    guard.release();
    return 0;
}
