#include "app/GameLauncher.h"

#include <cstring>

#include "app/CrashReport.h"
#include "app/CrashTestHook.h"
#include "app/GamePathRecord.h"
#include "app/StringTable.h"
#include "app/VersionFile.h"
#include "foundation/Log.h"
#include "foundation/SystemUtil.h"
#include "platform/error.h"
#include "service/KTUpgrade.h"

namespace {

constexpr ModuleLog kLog{"GameLauncher", L"GameLauncher"};

// What start-up created, so that shutdown releases exactly that.
struct Session {
    wchar_t title[128] = {};
    wchar_t programFolder[kMaxPathChars] = {};
    KTUpgrade* ktUpgrade = nullptr;
    char version[32] = {};
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
    return true;
}

void shutDown(Session& s) {
    // The upgrade manager and the window go before the service client: the
    // worker may still use the client until the manager is gone.
    delete s.ktUpgrade;
    s.ktUpgrade = nullptr;
    uninstallCrashReport();
    kLog(154, "GameLauncher Exit \r\n\r\n");
    ReleaseLogger();
}

}  // namespace

int GameLauncherMain() {
    kLog(31, "GameLauncher Start");
    Session session;
    startUp(session);
    shutDown(session);
    return 0;
}
