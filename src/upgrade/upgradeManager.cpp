// State, folders, settings, the progress timer and the event reports of the
// upgrade manager; the worker, the package update, the file check and the
// launcher hand-off live in the files named after them.
#include "upgrade/upgradeManager.h"

#include <cstring>
#include <cwchar>
#include <string>

#include "crash/ThreadCrashHandler.h"
#include "foundation/SystemUtil.h"
#include "platform/error.h"
#include "platform/folders.h"
#include "platform/ini.h"
#include "platform/timer.h"
#include "service/KTUpgrade.h"
#include "upgrade/LauncherPipe.h"
#include "upgrade/LauncherWindow.h"
#include "upgrade/UpdateKeys.h"
#include "upgrade/upgradeManagerLog.h"

namespace {

constexpr const ModuleLog& kLog = kUpgradeLog;

// onDownloadProgress has no other way to the manager: the downloader's
// progress function carries no pointer.
std::atomic<UpgradeManager*> g_pInstance{nullptr};
std::atomic<UpgradeManager::LoaderFactory> g_loaderFactory{&Loader::instance};

// Copies `text` into a field of `capacity` characters; false (field left
// as it was) when it does not fit, since a cut folder names another one.
bool copyField(wchar_t* field, std::size_t capacity, const std::wstring& text) {
    if (text.size() >= capacity) {
        platform::setLastError(ENAMETOOLONG);
        return false;
    }
    std::wmemcpy(field, text.c_str(), text.size() + 1);
    return true;
}

}  // namespace

UpgradeManager::UpgradeManager() {
    std::wmemset(m_installFolder, 0, kPathBufferChars);
    std::wmemset(m_roamingFolder, 0, kPathBufferChars);
    std::wmemset(m_tempFolder, 0, kPathBufferChars);
    std::wmemset(m_programFolder, 0, kPathBufferChars);
    std::wmemset(m_settingPath, 0, kPathBufferChars);
    std::wmemset(m_debugPath, 0, kPathBufferChars);
    std::wmemset(m_testProgramFolder, 0, kPathBufferChars);
    m_updateKeys = updatePublicKeys();
    g_pInstance.store(this);
}

UpgradeManager::~UpgradeManager() {
    {
        std::lock_guard<std::mutex> lock(m_transferLock);
        if (m_pDownLoader != nullptr) m_pDownLoader->setState(2);
    }
    if (m_worker.started()) {
        if (m_worker.wait(kWorkerWaitMs) != platform::WaitResult::Signaled) {
            // No thread is ever killed: past its time the worker is asked to
            // stop at its next blocking point, and then joined.
            m_stop.request_stop();
        }
        m_worker.join();
    }
    delete m_pPipe.exchange(nullptr);
    if (m_progressEventOpen.load() && m_progressTimerStarted.load()) {
        kLog(75, "_ThreadCheckVersion wait progress Start");
        m_evtProCtrol.wait(platform::kInfinite, m_stop.get_token());
        kLog(77, "_ThreadCheckVersion wait progress End");
        m_progressEventOpen.store(false);
    }
    // A worker that was stopped leaves its timers running; none may call
    // into the manager once it is gone. Raising the request first ends a
    // callback that waits in a send the ended loop will never handle.
    m_stop.request_stop();
    stopTimers();
    // The connect timer's last call may have opened the pipe after it was
    // deleted above.
    delete m_pPipe.exchange(nullptr);
    // The client outlives the manager; the token must not.
    if (m_pKtUpgrade != nullptr) m_pKtUpgrade->setTerminationToken({});
    m_pKtUpgrade = nullptr;
    m_pWindow = nullptr;
    UpgradeManager* self = this;
    g_pInstance.compare_exchange_strong(self, nullptr);
}

void UpgradeManager::stopTimers() {
    if (const uint32_t id = _timerProgressControl.exchange(0)) platform::stopTimer(id);
    if (const uint32_t id = _timerConnectLauncher.exchange(0)) platform::stopTimer(id);
}

void UpgradeManager::setProgramFolderForTesting(const wchar_t* folder) {
    std::wmemset(m_testProgramFolder, 0, kPathBufferChars);
    if (folder != nullptr) std::wcsncpy(m_testProgramFolder, folder, kMaxPathChars - 1);
}

void UpgradeManager::setLoaderFactoryForTesting(LoaderFactory factory) {
    g_loaderFactory.store(factory != nullptr ? factory : &Loader::instance);
}

UpgradeManager::LoaderFactory UpgradeManager::loaderFactory() { return g_loaderFactory.load(); }

bool UpgradeManager::workerState(WorkerState& out) const {
    uint32_t code = 0;
    if (!m_worker.exitCode(code)) return false;
    out = static_cast<WorkerState>(static_cast<int32_t>(code));
    return true;
}

bool UpgradeManager::waitWorker(uint32_t timeoutMs, WorkerState& state) {
    if (!m_worker.started() || m_worker.wait(timeoutMs) != platform::WaitResult::Signaled) return false;
    return workerState(state);
}

int32_t UpgradeManager::initPaths() {
    if (m_testProgramFolder[0] != L'\0') {
        std::wcsncpy(m_programFolder, m_testProgramFolder, kMaxPathChars - 1);
    } else if (!GetCurrentExePath(m_programFolder, kMaxPathChars)) {
        kLog(260, "GetCurrentExePath Failed LastErrorID:%u", platform::lastError());
        return -1;
    }
    std::wstring roaming;
    if (!platform::roamingAppDataFolder(roaming) || !copyField(m_roamingFolder, kPathBufferChars, roaming)) {
        kLog(267, "Get Roaming Path Failed LastErrorID:%u", platform::lastError());
        return -2;
    }
    std::wstring local;
    if (!platform::localAppDataFolder(local) || !JoinPath(local, {local, kProductFolder}, kPathBufferChars) ||
        !copyField(m_installFolder, kPathBufferChars, local)) {
        if (local.size() + 1 >= kPathBufferChars) platform::setLastError(ENAMETOOLONG);
        kLog(273, "Get Local Path Failed LastErrorID:%u", platform::lastError());
        return -3;
    }
    std::wstring joined;
    if (!JoinPath(joined, {m_roamingFolder, kProductFolder, L"temp/"}, kPathBufferChars) ||
        !copyField(m_tempFolder, kPathBufferChars, joined)) {
        kLog(267, "Get Roaming Path Failed LastErrorID:%u", static_cast<uint32_t>(ENAMETOOLONG));
        return -2;
    }
    // The program folder is at most 259 characters, so these always fit.
    std::swprintf(m_settingPath, kPathBufferChars, L"%ls\\setting.ini", m_programFolder);
    std::swprintf(m_debugPath, kPathBufferChars, L"%ls\\debug.ini", m_programFolder);
    return 0;
}

int32_t UpgradeManager::loadSettings() {
    m_curlWaitTime = static_cast<int32_t>(platform::getPrivateProfileInt(L"SETTING", L"CURL_WAITETIME", 30, m_settingPath));
    m_fileCompare = platform::getPrivateProfileInt(L"DEBUG", L"FILECMP", 1, m_debugPath) == 1;
    // Players far from the package server need more bytes under way than
    // two pieces of 32 KiB; a value the downloader cannot take is left out.
    const auto pieceKb = static_cast<int32_t>(
        platform::getPrivateProfileInt(L"SETTING", L"DOWNLOAD_PIECE_KB", kDefaultPieceKb, m_settingPath));
    if (pieceKb >= kMinPieceKb && pieceKb <= kMaxPieceKb) {
        m_downloadPieceKb = pieceKb;
    } else {
        kLog(154, "DOWNLOAD_PIECE_KB %d out of range %d-%d, %d used", pieceKb, kMinPieceKb, kMaxPieceKb,
             kDefaultPieceKb);
    }
    const auto threads = static_cast<int32_t>(
        platform::getPrivateProfileInt(L"SETTING", L"DOWNLOAD_THREADS", kDefaultPieceThreads, m_settingPath));
    if (threads >= 1 && threads <= Loader::kMaxPieceThreads) {
        m_downloadThreads = threads;
    } else {
        kLog(161, "DOWNLOAD_THREADS %d out of range 1-%d, %d used", threads, Loader::kMaxPieceThreads,
             kDefaultPieceThreads);
    }
    return 0;
}

bool UpgradeManager::warn(uint32_t id) {
    if (stopped() || m_pWindow == nullptr) return false;
    m_pWindow->ShowWarning(id, m_stop.get_token());
    return true;
}

int32_t UpgradeManager::checkUpgrade(LauncherWindow* window) {
    m_pWindow = window;
    if (window == nullptr) return kCheckNoWindow;
    if (initPaths() != 0) return kCheckNoPaths;
    if (loadSettings() != 0) {
        warn(IDS_SERVER_ADDRESS_FAILED);
        return kCheckNoSettings;
    }
    // Start-up made the instance already; this only fetches it.
    m_pKtUpgrade = getKTUpgrade(m_programFolder, LogServiceError);
    if (m_pKtUpgrade != nullptr) m_pKtUpgrade->setTerminationToken(m_stop.get_token());

    // The event and the timer come before the worker, so the worker never
    // finds them missing; the outcome is the same as the other order.
    m_evtProCtrol.reset();
    m_progressEventOpen.store(true);
    kLog(111, " Init pipe failed and try again _timerProgressControl is Create Now");
    const uint32_t timer = platform::startPeriodicTimer(kProgressPeriodMs, [this](uint32_t) { onProgressTimer(this); });
    _timerProgressControl.store(timer);
    m_progressTimerStarted.store(timer != 0);

    if (!m_worker.start("upgradeWorker", [this] { return _ThreadCheckVersion(this); })) {
        // Without a worker nothing would ever close the window.
        stopTimers();
        m_progressEventOpen.store(false);
        return kCheckNoWorker;
    }
    return kCheckStarted;
}

void UpgradeManager::onProgressTimer(UpgradeManager* manager) {
    if (manager == nullptr) {
        kLog(845, " ptr is NULL");
        return;
    }
    ThreadCrashScope crashScope;
    UpgradeManager& m = *manager;
    bool finished = false;
    if (m.m_pWindow == nullptr) {
        kLog(864, " m_pWindow is NULL");
    } else if (!m.m_pWindow->IsRunning()) {
        kLog(857, " user clicck X and to close gamelancher");
        finished = true;
    } else {
        uint32_t shown = m.m_progressShown.load(std::memory_order_relaxed);
        const uint32_t target = m.m_progressTarget.load(std::memory_order_relaxed);
        if (shown < target) {
            shown += target - shown > 10 ? 10 : 1;
            m.m_progressShown.store(shown, std::memory_order_relaxed);
            m.m_pWindow->SetProgress(shown, m.m_stop.get_token());
        } else {
            finished = shown >= kProgressFull;
        }
    }
    if (finished) {
        if (const uint32_t id = m._timerProgressControl.exchange(0)) {
            platform::stopTimer(id);
            m.m_progressEventOpen.store(false);
            // Logged before the event is set: once it is, the worker may end
            // and the manager go while this callback still runs.
            kLog(891, " _timerProgressControl Destroy");
            m.m_evtProCtrol.set();
        }
    }
}

void UpgradeManager::onDownloadProgress(uint32_t bytesDone, uint32_t bytesTotal, uint32_t /*userValue*/) {
    UpgradeManager* m = g_pInstance.load();
    if (m == nullptr) return;
    // An unknown total says nothing about the progress: the target stays.
    if (bytesTotal == 0) return;
    const float target = static_cast<float>(bytesDone) / static_cast<float>(bytesTotal) * 500.0f;
    // A report far beyond its total would not fit the field; the bar is full.
    const uint32_t value = target >= 4294967040.0f ? 0xFFFFFF00u : static_cast<uint32_t>(target);
    m->m_progressTarget.store(value, std::memory_order_relaxed);
}

void UpgradeManager::reportData(const char* event, const char* version, const char* ext) {
    if (m_pKtUpgrade == nullptr) {
        kLog(537, " reportData failed m_pKtUpgrade == NULL evt:%s", event);
        return;
    }
    const int res = m_pKtUpgrade->DataReport_common(0, 0, version, event, ext);
    if (res != 0) kLog(542, " DataReport_common failed evt:%s reportRes:%d", event, res);
}

void UpgradeManager::waitProgress(int startNumber, int endNumber) {
    m_progressTarget.store(kProgressFull, std::memory_order_relaxed);
    kLog(startNumber, "_ThreadCheckVersion wait progress Start");
    // Without a running timer nobody would signal the event: the bar then
    // counts as finished instead of the wait hanging for ever.
    if (m_progressTimerStarted.load()) m_evtProCtrol.wait(platform::kInfinite, m_stop.get_token());
    kLog(endNumber, "_ThreadCheckVersion wait progress End");
}
