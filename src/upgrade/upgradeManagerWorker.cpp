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

uint32_t UpgradeManager::runWorker() {
    ThreadCrashScope crashScope;
    const std::stop_token stop = m_stop.get_token();
    {
        Loader* loader = loaderFactory()(&UpgradeManager::onDownloadProgress, this, m_curlWaitTime);
        auto* http = new (std::nothrow) HttpOperation;
        if (loader != nullptr) loader->setTerminationToken(stop);
        if (http != nullptr) http->setTerminationToken(stop);
        std::lock_guard<std::mutex> lock(m_transferLock);
        m_pDownLoader = loader;
        m_pHttpManager = http;
    }

    char localVer[32] = {};
    char reportVer[32] = {};
    char newVer[32] = {};
    UpdateInfo resInfo;
    std::memset(&resInfo, 0, sizeof resInfo);
    std::vector<FileEntry> fileList;
    int32_t state = kStateCurrent;

    if (praseVersionFile(localVer, fileList) != 0) {
        setText(localVer, sizeof localVer, kUnknownVersion);
        setText(reportVer, sizeof reportVer, kUnknownVersion);
    } else {
        std::memcpy(reportVer, localVer, sizeof reportVer);
        if (!checkFileList(fileList)) setText(localVer, sizeof localVer, kUnknownVersion);
    }

    if (m_pDownLoader == nullptr) {
        state = kStateNoDownloader;
        kLog(158, "_ThreadCheckVersion END with pManager->m_pDownLoader is NULL");
    } else {
        reportData("LHR_CHK", reportVer, "");
        const int32_t r = stopped() ? kUpdateStopped : getUpdateUrl(localVer, &resInfo);
        state = r;
        if (stopped()) {
            state = kStateTerminated;
        } else if (r < 0) {
            const int32_t h = handleExsitLauncher(localVer, localVer);
            if (h == kStateHandedOver || h == kStateClosedWaiting) {
                kLog(171, "_ThreadCheckVersion END with handleExsitLauncher failed rescode:%d", h);
                state = h;
            } else if (h == kStateTerminated) {
                state = h;
            } else {
                kLog(175, "_ThreadCheckVersion END with getUpdateUrl failed rescode:%d", r);
            }
        } else {
            const int32_t h = handleExsitLauncher(localVer, resInfo.ver);
            if (h != kHandOffGoOn) {
                state = h;
                if (h != kStateTerminated)
                    kLog(182, "_ThreadCheckVersion END with handleExsitLauncher failed rescode:%d", h);
            } else {
                const int32_t l = loadLauncherZip(&resInfo, localVer, newVer);
                state = stopped() ? kStateTerminated : l;
                if (state == kStateCurrent) {
                    reportData("LHR_UPD", newVer, "");
                } else if (state != kStateTerminated) {
                    kLog(190, "_ThreadCheckVersion END with Load launcher or agent zip file failed rescode:%d", l);
                }
            }
        }
    }
    if (stopped()) state = kStateTerminated;

    if (state != kStateHandedOver && state != kStateClosedWaiting && state != kStateTerminated) {
        waitProgress(202, 204);
        if (stopped()) {
            state = kStateTerminated;
        } else if (runLauncher()) {
            kLog(208, "_ThreadCheckVersion END with start launcher.exe OK");
        } else {
            kLog(210, "_ThreadCheckVersion END with start launcher.exe Failed %ld",
                 static_cast<long>(platform::lastError()));
        }
    }
    if (state != kStateTerminated && _timerProgressControl.load() != 0) waitProgress(216, 218);

    releaseTransfer();

    if (stopped()) state = kStateTerminated;
    if (m_pWindow != nullptr && (state == kStateHandedOver || state == kStateClosedWaiting)) {
        kLog(235, "send Close Message Now");
        const int32_t sent = m_pWindow->Close(stop);
        if (sent == kSendInterrupted) {
            state = kStateTerminated;
        } else if (sent != 0) {
            kLog(239, "_ThreadCheckVersion SendMessage WM_CLOSE Failed %ld", static_cast<long>(platform::lastError()));
            uninstallThreadCrashHandler();
            std::_Exit(1);
        } else {
            kLog(244, "send Close Message Finish");
        }
    }
    if (state == kStateTerminated) kLog(246, "_ThreadCheckVersion stopped by the termination request");
    kLog(248, "_ThreadCheckVersion Quit");
    return static_cast<uint32_t>(state);
}
