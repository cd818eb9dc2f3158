#include "app/GameLauncher.h"

#include "app/GamePathRecord.h"
#include "app/StringTable.h"
#include "foundation/Log.h"
#include "foundation/SystemUtil.h"
#include "platform/error.h"

namespace {

constexpr const char* kTag = "GameLauncher";

// What start-up created, so that shutdown releases exactly that.
struct Session {
    wchar_t title[128] = {};
    wchar_t programFolder[kMaxPathChars] = {};
};

// Returns true when start-up got far enough for the message loop to run.
bool startUp(Session& s) {
    LoadStringResource(IDS_TITLE, s.title, 128);

    if (!GetCurrentExePath(s.programFolder, kMaxPathChars)) {
        LogPrint("[%s:%d]GetCurrentExePath Failed LastErrorID:%u", kTag, 64, platform::lastError());
        return false;
    }
    WriteGamePathRecord(s.programFolder);
    return true;
}

void shutDown(Session&) {
    LogPrint("[%s:%d]GameLauncher Exit \r\n\r\n", kTag, 154);
    ReleaseLogger();
}

}  // namespace

int GameLauncherMain() {
    LogPrint("[%s:%d]GameLauncher Start", kTag, 31);
    Session session;
    startUp(session);
    shutDown(session);
    return 0;
}
