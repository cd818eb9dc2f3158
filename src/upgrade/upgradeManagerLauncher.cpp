// The launcher hand-off and start: a running launcher is told through its
// pipe to come forward or to quit (gamelauncher/LauncherProtocol.h), and at
// the end of the workflow client/launcher.exe is started with the game
// folder.
#include "upgrade/upgradeManager.h"

#include <cstring>
#include <string>
#include <string_view>

#include "crash/ThreadCrashHandler.h"
#include "foundation/SystemUtil.h"
#include "gamelauncher/LauncherProtocol.h"
#include "platform/file.h"
#include "platform/marker.h"
#include "platform/process.h"
#include "platform/text.h"
#include "platform/timer.h"
#include "upgrade/LauncherPipe.h"
#include "upgrade/LauncherWindow.h"
#include "upgrade/upgradeManagerLog.h"

namespace {

constexpr const ModuleLog& kLog = kUpgradeLog;

}  // namespace

int32_t UpgradeManager::handleExsitLauncher(const char* versionA, const char* versionB) {
    const std::stop_token stop = m_stop.get_token();
    if (!m_pWindow->IsLauncherRunning(stop)) {
        kLog(334, "Luncher not Running ");
        return kHandOffGoOn;
    }
    if (stopped()) return kUpdateStopped;
    if (m_pPipe.load() == nullptr && initPipe() != 0) {
        kLog(344, " Init pipe failed and try again _timerConnectLauncher is Create Now");
        m_connectOutcome.store(kConnectPipeOpen);
        m_evtConnectLauncher.reset();
        const uint32_t timer =
            platform::startPeriodicTimer(kConnectPeriodMs, [this](uint32_t) { onConnectLauncherTimer(this); });
        _timerConnectLauncher.store(timer);
        if (timer != 0) {
            if (m_evtConnectLauncher.wait(platform::kInfinite, stop) != platform::WaitResult::Signaled)
                return kUpdateStopped;
        } else {
            // Without the timer the worker makes the same checks itself, so
            // the wait still ends the same ways.
            do {
                if (!platform::sleepFor(kConnectPeriodMs, stop)) return kUpdateStopped;
            } while (!connectLauncherStep());
        }
        switch (m_connectOutcome.load()) {
            case kConnectWindowClosed: return kHandOffClosedWaiting;
            case kConnectLauncherGone: return kHandOffGoOn;
            default: break;
        }
    }
    if (stopped()) return kUpdateStopped;
    if (std::strcmp(versionA, versionB) == 0) {
        kLog(358, "Launcher exist so send msg 0x80");
        sendPipeMessage(launcherprotocol::kMsgComeForward, 0, nullptr, 0);
        m_pWindow->Hide(stop);
        return kHandOffHandedOver;
    }
    kLog(365, "Launcher exist so send msg 0x81");
    sendPipeMessage(launcherprotocol::kMsgQuit, 0, nullptr, 0);
    platform::Thread waiter;
    if (!waiter.start("launcherQuit", [this] { return waitLauncherQuit(this); })) waitLauncherQuit(this);
    waiter.join();
    return stopped() ? kUpdateStopped : kHandOffGoOn;
}

bool UpgradeManager::connectLauncherStep() {
    const std::stop_token stop = m_stop.get_token();
    if (!m_pWindow->IsRunning()) {
        kLog(804, " user clicck X and to close gamelancher");
        m_connectOutcome.store(kConnectWindowClosed);
        return true;
    }
    if (!m_pWindow->IsLauncherRunning(stop)) {
        kLog(812, "Luncher not exist and continue ");
        m_connectOutcome.store(kConnectLauncherGone);
        return true;
    }
    if (m_pPipe.load() == nullptr && initPipe() == 0) {
        kLog(820, "PIPE connect OK and continue");
        m_connectOutcome.store(kConnectPipeOpen);
        return true;
    }
    kLog(825, "PIPE connect Failed and try again");
    return false;
}

void UpgradeManager::onConnectLauncherTimer(UpgradeManager* manager) {
    if (manager == nullptr) {
        kLog(791, " g_pInstance is null");
        return;
    }
    ThreadCrashScope crashScope;
    if (!manager->connectLauncherStep()) return;
    if (const uint32_t id = manager->_timerConnectLauncher.exchange(0)) {
        platform::stopTimer(id);
        // The event is the last thing this callback touches of the manager.
        kLog(834, " _timerConnectLauncher Destroy");
        manager->m_evtConnectLauncher.set();
    }
}

uint32_t UpgradeManager::waitLauncherQuit(UpgradeManager* manager) {
    if (manager == nullptr) {
        kLog(756, " lpParam is null");
        return 0;
    }
    ThreadCrashScope crashScope;
    const std::stop_token stop = manager->m_stop.get_token();
    while (manager->m_pWindow->IsRunning()) {
        // Only a held marker means the launcher is still there; a probe
        // that fails counts as gone, so that a broken probe cannot keep
        // the update waiting for ever.
        if (platform::probeMarker(launcherprotocol::kLauncherMarker) != platform::MarkerState::Held) {
            kLog(772, "Launcher quit already");
            break;
        }
        if (!platform::sleepFor(kLauncherQuitPollMs, stop)) break;
    }
    return 0;
}

bool UpgradeManager::runLauncher() {
    const std::stop_token stop = m_stop.get_token();
    std::wstring exePath;
    const bool fits = JoinPath(exePath, {m_installFolder, L"client/launcher.exe"}, kPathBufferChars);
    if (!fits || !platform::pathExists(exePath)) {
        if (warn(IDS_START_LAUNCHER_FAILED)) m_pWindow->Close(stop);
        return false;
    }
    if (!StartLauncher(exePath.c_str(), m_programFolder)) {
        warn(IDS_START_LAUNCHER_FAILED);
        return false;
    }
    onDownloadProgress(100, 100, 0);
    if (m_pWindow != nullptr) m_pWindow->Close(stop);
    return true;
}

bool UpgradeManager::StartLauncher(const wchar_t* exePath, const wchar_t* gamePath) {
    // The logged parameter text is quoted; the argument itself travels as
    // one piece without the quotes, spaces and all.
    const std::string_view prefix = launcherprotocol::kGamePathPrefix;
    const std::wstring quotedPrefix = L"\"" + std::wstring(prefix.begin(), prefix.end());
    std::wstring parameter;
    if (!JoinPath(parameter, {quotedPrefix, gamePath, L"\""}, kPathBufferChars)) return false;
    if (m_pWindow == nullptr) return false;
    kLog.wide(641, L"StartLauncher Arg:%s", parameter.c_str());
    // The last step that has an effect outside this process: never after
    // the termination request.
    if (stopped()) return false;
    return platform::spawnDetached(exePath, parameter.substr(1, parameter.size() - 2));
}

int32_t UpgradeManager::initPipe() {
    LauncherPipe* pipe = getLauncherPipe();
    if (pipe == nullptr) {
        kLog(704, "get Pipe failed");
        return -1;
    }
    // Published only once open: the connect timer opens it while the
    // manager may be going, and the manager deletes whatever is published.
    const int32_t r = pipe->openPipe();
    if (r != 0) {
        delete pipe;
        kLog(712, "openPipe failed resVal:%d", r);
        return -2;
    }
    m_pPipe.store(pipe);
    return 0;
}

int32_t UpgradeManager::sendPipeMessage(uint8_t id, int32_t command, const uint8_t* data, uint32_t length) {
    LauncherPipe* pipe = m_pPipe.load();
    const int32_t r = pipe != nullptr ? pipe->sendData(id, command, data, length) : kPipeNotOpen;
    if (r != 0) {
        kLog(724, "pipe send message failed resVal:%d", r);
        return -1;
    }
    std::wstring text = L"(null)";
    if (data != nullptr) text = platform::utf8ToWide(std::string_view(reinterpret_cast<const char*>(data), length));
    kLog.wide(727, L"pipe send message Success id:%d command:%d data:%s", static_cast<int>(id), command, text.c_str());
    return 0;
}
