// The check-version worker: the whole update workflow on its own thread.
#include "upgrade/upgradeManager.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "crash/ThreadCrashHandler.h"
#include "foundation/SystemUtil.h"
#include "platform/error.h"
#include "transfer/HttpOperation.h"
#include "upgrade/LauncherWindow.h"
#include "upgrade/upgradeManagerLog.h"

namespace {

constexpr const ModuleLog& kLog = kUpgradeLog;
constexpr const char* kUnknownVersion = "0.0.0.0";

void setText(char* field, std::size_t size, const char* text) {
    CopyToField(field, size, text);
}

}  // namespace

uint32_t UpgradeManager::_ThreadCheckVersion(UpgradeManager* manager) {
    kLog(120, "_ThreadCheckVersion Start");
    if (manager == nullptr) {
        kLog(124, "_ThreadCheckVersion END with UpgradeManager is NULL");
        return 1;
    }
    return manager->runWorker();
}

void UpgradeManager::releaseTransfer() {
    kLog(221, "m_pDownLoader Start Release");
    Loader* loader = nullptr;
    HttpOperation* http = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_transferLock);
        loader = m_pDownLoader;
        m_pDownLoader = nullptr;
    }
    delete loader;
    kLog(225, "m_pDownLoader End Release");
    kLog(227, "m_pHttpManager Start Release");
    {
        std::lock_guard<std::mutex> lock(m_transferLock);
        http = m_pHttpManager;
        m_pHttpManager = nullptr;
    }
    delete http;
    kLog(231, "m_pHttpManager End Release");
}

// The workflow in order; each phase returns the state the run is in after
// it, and the termination request turns any state into Terminated.
uint32_t UpgradeManager::runWorker() {
    ThreadCrashScope crashScope;
    createTransfer();
    const InstalledLauncher installed = checkInstalledLauncher();
    WorkerState state = m_pDownLoader == nullptr ? reportNoDownloader() : checkAndUpdate(installed);
    if (stopped()) state = WorkerState::Terminated;
    if (startsTheLauncher(state)) state = startInstalledLauncher(state);
    if (state != WorkerState::Terminated && _timerProgressControl.load() != 0) waitProgress(216, 218);
    releaseTransfer();
    if (stopped()) state = WorkerState::Terminated;
    state = closeAfterHandOver(state);
    if (state == WorkerState::Terminated) kLog(246, "_ThreadCheckVersion stopped by the termination request");
    kLog(248, "_ThreadCheckVersion Quit");
    return static_cast<uint32_t>(state);
}

void UpgradeManager::createTransfer() {
    Loader* loader = loaderFactory()(&UpgradeManager::onDownloadProgress, this, m_curlWaitTime);
    auto* http = new (std::nothrow) HttpOperation;
    const std::stop_token stop = m_stop.get_token();
    if (loader != nullptr) {
        loader->setTerminationToken(stop);
        loader->setPieces(static_cast<uint32_t>(m_downloadPieceKb) * 1024u, m_downloadThreads);
    }
    if (http != nullptr) http->setTerminationToken(stop);
    std::lock_guard<std::mutex> lock(m_transferLock);
    m_pDownLoader = loader;
    m_pHttpManager = http;
}

UpgradeManager::InstalledLauncher UpgradeManager::checkInstalledLauncher() {
    InstalledLauncher out;
    std::vector<FileEntry> fileList;
    if (praseVersionFile(out.version, fileList) != 0) {
        setText(out.version, sizeof out.version, kUnknownVersion);
        setText(out.reported, sizeof out.reported, kUnknownVersion);
    } else {
        std::memcpy(out.reported, out.version, sizeof out.reported);
        // A damaged launcher asks for a fresh package whatever is current.
        if (!checkFileList(fileList)) setText(out.version, sizeof out.version, kUnknownVersion);
    }
    return out;
}

WorkerState UpgradeManager::reportNoDownloader() {
    kLog(158, "_ThreadCheckVersion END with pManager->m_pDownLoader is NULL");
    return WorkerState::NoDownloader;
}

WorkerState UpgradeManager::checkAndUpdate(const InstalledLauncher& installed) {
    // A check the stop request ended has no result to report.
    if (stopped()) return WorkerState::Terminated;
    reportData("LHR_CHK", installed.reported, "");
    if (stopped()) return WorkerState::Terminated;
    UpdateInfo resInfo;
    std::memset(&resInfo, 0, sizeof resInfo);
    const int32_t checked = getUpdateUrl(installed.version, &resInfo);
    if (stopped()) return WorkerState::Terminated;
    if (checked < 0) return handOverWithoutService(installed.version, checked);
    const int32_t handOff = handleExsitLauncher(installed.version, resInfo.ver);
    if (handOff == kUpdateStopped) return WorkerState::Terminated;
    if (handOff != kHandOffGoOn) {
        kLog(182, "_ThreadCheckVersion END with handleExsitLauncher failed rescode:%d", handOff);
        return static_cast<WorkerState>(handOff);
    }
    char newVer[32] = {};
    const int32_t loaded = loadLauncherZip(&resInfo, installed.version, newVer);
    if (stopped()) return WorkerState::Terminated;
    if (loaded != 0) {
        kLog(190, "_ThreadCheckVersion END with Load launcher or agent zip file failed rescode:%d", loaded);
        return static_cast<WorkerState>(loaded);
    }
    reportData("LHR_UPD", newVer, "");
    return WorkerState::Current;
}

// Without the service's answer a running launcher is still handed over to
// (its version counts as current); otherwise the installed one starts.
WorkerState UpgradeManager::handOverWithoutService(const char* version, int32_t checked) {
    const int32_t handOff = handleExsitLauncher(version, version);
    if (handOff == kUpdateStopped) return WorkerState::Terminated;
    if (handOff != kHandOffGoOn) {
        kLog(171, "_ThreadCheckVersion END with handleExsitLauncher failed rescode:%d", handOff);
        return static_cast<WorkerState>(handOff);
    }
    kLog(175, "_ThreadCheckVersion END with getUpdateUrl failed rescode:%d", checked);
    return WorkerState::CheckFailed;
}

bool UpgradeManager::startsTheLauncher(WorkerState state) {
    return state != WorkerState::HandedOver && state != WorkerState::ClosedWaiting &&
           state != WorkerState::Terminated;
}

// The state after the start is Terminated or, whatever the start gave,
// the state the run was in: a failed start is warning 117, not a state.
WorkerState UpgradeManager::startInstalledLauncher(WorkerState state) {
    waitProgress(202, 204);
    if (stopped()) return WorkerState::Terminated;
    if (runLauncher()) {
        kLog(208, "_ThreadCheckVersion END with start launcher.exe OK");
    } else {
        kLog(210, "_ThreadCheckVersion END with start launcher.exe Failed %ld", static_cast<long>(platform::lastError()));
    }
    return state;
}

// After a hand-over the window is closed here; after a start the launcher
// start closed it already.
WorkerState UpgradeManager::closeAfterHandOver(WorkerState state) {
    if (m_pWindow == nullptr || (state != WorkerState::HandedOver && state != WorkerState::ClosedWaiting)) return state;
    kLog(235, "send Close Message Now");
    const int32_t sent = m_pWindow->Close(m_stop.get_token());
    if (sent == kSendInterrupted) return WorkerState::Terminated;
    if (sent != 0) {
        kLog(239, "_ThreadCheckVersion SendMessage WM_CLOSE Failed %ld", static_cast<long>(platform::lastError()));
        uninstallThreadCrashHandler();
        std::_Exit(1);
    }
    kLog(244, "send Close Message Finish");
    return state;
}
