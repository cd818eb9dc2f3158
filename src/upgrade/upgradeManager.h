// The update workflow: UpgradeManager derives its folders and settings,
// starts the check-version worker and the 20 ms progress timer, and the
// worker checks the installed launcher, asks the update service, hands over
// to a running launcher or downloads, verifies and unpacks a new package,
// and finally starts client/launcher.exe and closes the window.
//
// Threads: the main thread constructs the manager, calls checkUpgrade once
// and destroys it after the window's loop has ended. The worker, the timer
// thread (progress and connect-launcher callbacks), the downloader's threads
// (progress reports) and the short launcher-quit wait reach it meanwhile.
// Values they share are atomics; the two events order the timers' last runs
// before the worker's continuation.
//
// Termination: the destructor asks the downloader to stop and waits up to
// 3,000 ms for the worker. After that it raises the manager's termination
// request, which every blocking point of the worker watches (transfers,
// service requests, event waits, sleeps, the window's blocking sends); the
// worker then takes no further step (no file written, no launcher started)
// and the destructor joins it. No thread outlives the manager.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <vector>

#include "foundation/PackageStatement.h"
#include "foundation/SystemUtil.h"
#include "platform/sync.h"
#include "transfer/Loader.h"

class HttpOperation;
class KTUpgrade;
class LauncherPipe;
class LauncherWindow;

// The service's answer (all narrow, zero-terminated, zero-filled first).
struct UpdateInfo {
    char url[1024];
    char ip[32];
    char ver[32];
    char md5[64];
};

// One listed launcher file: path relative to the install folder, and MD5.
struct FileEntry {
    char path[kMaxPathChars];
    char md5[64];
};

// The worker's final state, also its thread's exit code. The values are
// those of the codes each state comes from (loadLauncherZip's 0 and 2,
// getUpdateUrl's -2, handleExsitLauncher's 231 and 232).
enum class WorkerState : int32_t {
    Current = 0,          // launcher current (or installed now)
    NoDownloader = 1,     // the downloader could not be created
    NotInstalled = 2,     // the package failed all its tries (warning 113)
    CheckFailed = -2,     // the service check failed (warning 104)
    HandedOver = 231,     // a running launcher was told to come forward
    ClosedWaiting = 232,  // the window closed while waiting for the pipe
    // Not a state of the workflow: the termination request ended the worker.
    Terminated = -100,
};

// checkUpgrade results.
inline constexpr int32_t kCheckStarted = 0;
inline constexpr int32_t kCheckNoWindow = -1;
inline constexpr int32_t kCheckNoPaths = -2;
inline constexpr int32_t kCheckNoSettings = -3;
// The worker thread could not be started; nothing runs.
inline constexpr int32_t kCheckNoWorker = -4;

// updateLauncherPackage / verifyAndUnzip / praseVersionFile codes.
inline constexpr int32_t kPackageBadArchive = 3;
inline constexpr int32_t kPackageBadVersionFile = 4;
inline constexpr int32_t kPackageBadFile = 5;
inline constexpr int32_t kVerifyMd5Failed = 1;
inline constexpr int32_t kVerifyUnzipFailed = 2;
inline constexpr int32_t kVerifyNoZip = 3;
inline constexpr int32_t kVersionFileMissing = -1;
inline constexpr int32_t kVersionFileUnopenable = -2;
inline constexpr int32_t kVersionFileInvalid = -3;
// Any of the worker's steps: the termination request came first.
inline constexpr int32_t kUpdateStopped = static_cast<int32_t>(WorkerState::Terminated);

// handleExsitLauncher: go on with the update; or a running launcher was
// told to come forward; or the window closed while waiting for its pipe.
inline constexpr int32_t kHandOffGoOn = 0;
inline constexpr int32_t kHandOffHandedOver = static_cast<int32_t>(WorkerState::HandedOver);
inline constexpr int32_t kHandOffClosedWaiting = static_cast<int32_t>(WorkerState::ClosedWaiting);
// loadLauncherZip: the package could not be installed (warning 113).
inline constexpr int32_t kLoadNotInstalled = static_cast<int32_t>(WorkerState::NotInstalled);

// connectOutcome values.
inline constexpr int8_t kConnectPipeOpen = 0;
inline constexpr int8_t kConnectLauncherGone = 1;
inline constexpr int8_t kConnectWindowClosed = 2;

inline constexpr uint32_t kProgressPeriodMs = 20;
inline constexpr uint32_t kConnectPeriodMs = 1500;
inline constexpr uint32_t kLauncherQuitPollMs = 250;
inline constexpr uint32_t kWorkerWaitMs = 3000;
inline constexpr int kPackageTries = 3;
// setting.ini [SETTING] DOWNLOAD_PIECE_KB and DOWNLOAD_THREADS: the
// downloader's piece size in KiB and its piece threads.
inline constexpr int32_t kDefaultPieceKb = 32;
inline constexpr int32_t kMinPieceKb = 32;
inline constexpr int32_t kMaxPieceKb = 4096;
inline constexpr int32_t kDefaultPieceThreads = 2;
// Appended to the install folder's name: the staging folder beside it.
inline constexpr const wchar_t* kStagingSuffix = L".staging";
// Appended to the install folder's name: the statement of the signed package
// the installed launcher came from, beside it.
inline constexpr const wchar_t* kAcceptedStatementSuffix = L".sig";
// Appended to the package URL: where its signed statement is published.
inline constexpr const char* kStatementUrlSuffix = ".sig";

// The bounds of client/launcher.db. A launcher ships a few hundred to a
// few thousand files, and an entry takes under 100 bytes with a typical
// path (under 330 with the longest one): both bounds leave ten times the
// room a real launcher needs, while a list at the bound still parses in a
// fraction of a second and a few dozen MiB.
inline constexpr std::size_t kMaxLauncherListEntries = 20000;
inline constexpr uint64_t kMaxLauncherListBytes = 4194304;

// The launcher's client/launcher.db text: the members in document order,
// "files" appending to `out`, the first "version" (into the 32-byte
// `versionOut`) ending the walk. Invalid: over kMaxLauncherListBytes, more
// ",", "[" and "{" than eight per kMaxLauncherListEntries (a bound on the
// parsed tree), not JSON, more than kMaxLauncherListEntries entries, an entry the fixed fields
// cannot hold (path of 260 bytes or more, MD5 of 64 or more), that is not an
// object with a first member, that names a path outside the install folder
// ("..", absolute), or that names a file an earlier entry names (the same
// path but for "/" or a backslash, empty or "." levels and ASCII letter case).
// NoVersion: no version, an empty one, or one of 32 bytes or more (then in
// `badVersion`). After Invalid, `out` is empty.
enum class LauncherListResult { Ok, Invalid, NoVersion };
LauncherListResult parseLauncherFileList(const std::string& text, char* versionOut, std::vector<FileEntry>& out,
                                         std::string* badVersion = nullptr);

// Leaves in `staged` (files relative to `folder`, "/"-joined)
// client/launcher.db and the files `fileList` names, as the file check
// resolves the names (separators, empty and "." levels; letter case as the
// file system has it): a file the list does not name was never checked, so
// it is not installed. Empty files stay too: packages leave them unlisted
// (mkpackage does, for file checks that refused empty files), and one
// brings no content that could need a check.
void keepListedFiles(const wchar_t* folder, std::vector<std::wstring>& staged, const std::vector<FileEntry>& fileList);

class UpgradeManager {
public:
    UpgradeManager();
    virtual ~UpgradeManager();
    UpgradeManager(const UpgradeManager&) = delete;
    UpgradeManager& operator=(const UpgradeManager&) = delete;

    // Main thread, once. 0 started; -1 no window; -2 paths not derivable;
    // -4 the worker could not be started. The window must outlive the manager.
    int32_t checkUpgrade(LauncherWindow* window);

    // 0, or -1 (program folder), -2 (roaming folder), -3 (local folder).
    int32_t initPaths();
    // Always 0. A DOWNLOAD_PIECE_KB or DOWNLOAD_THREADS outside its range
    // is logged and the default kept.
    int32_t loadSettings();

    // The worker; returns the final state (1 without a manager).
    static uint32_t _ThreadCheckVersion(UpgradeManager* manager);
    // Timer callbacks; the user value is the manager.
    static void onProgressTimer(UpgradeManager* manager);
    static void onConnectLauncherTimer(UpgradeManager* manager);
    // The downloader's progress function: moves the bar's target.
    static void onDownloadProgress(uint32_t bytesDone, uint32_t bytesTotal, uint32_t userValue);
    // The launcher-quit wait; always 0.
    static uint32_t waitLauncherQuit(UpgradeManager* manager);

    void reportData(const char* event, const char* version, const char* ext);

    int32_t getUpdateUrl(const char* version, UpdateInfo* pResInfo);
    int32_t loadLauncherZip(const UpdateInfo* pResInfo, const char* localVer, char* newVer);
    // One try: a kept client.upd that matches `md5` is installed without a
    // download (`newVer` then stays as it was); otherwise the package is
    // fetched, checked and installed. 0, a DownLoadFile code, or 3
    // (package MD5, unpacking, or a file that could not be moved into
    // place), 4 (its file list unreadable), 5 (a file does not match its
    // list). On any failure the installed launcher is left as it was,
    // except after a move cut short, which the next check repairs.
    int32_t updateLauncherPackage(const UpdateInfo* pResInfo, const char* md5, char* newVer);
    // Checks the package's MD5 and, with update keys built in, that this
    // try's statement vouches for it (statementVouches); then unpacks it into
    // a fresh staging folder (stagingFolder()), never into the install
    // folder. 0 unpacked; 1 MD5 or statement; 2 unpacking failed (the
    // staging folder is gone again); 3 no archive utility.
    int32_t verifyAndUnzip(const char* md5, const wchar_t* packagePath);

    // With update keys built in (UpdateKeys.h), every try first fetches
    // "<package url>.sig" (at most kStatementMaxBytes, through the
    // downloader's HTTP object with its time-outs: a HEAD and one GET, each
    // tried as a download piece is) into this try's statement. 0, or
    // kPackageBadArchive when it cannot be had (logged). Worker thread.
    int32_t fetchStatement(const char* packageUrl);
    // True when this try's statement is signed by a built-in key, names
    // `version` and the package's size and SHA-256, and is not signed
    // before the statement of the launcher installed now. Logs the check
    // that failed. Worker thread.
    bool statementVouches(const wchar_t* packagePath);
    // Where the statement of the installed launcher is kept: the install
    // folder's name with ".sig" appended. Empty when it would not fit.
    std::wstring acceptedStatementPath() const;
    bool signedPackages() const { return !m_updateKeys.empty(); }

    // Reads installFolder + "client/launcher.db": 0, -1 missing, -2 cannot
    // be opened, -3 unreadable, not JSON, refused (see parseLauncherFileList)
    // or no version. `versionOut` holds 32 bytes.
    int32_t praseVersionFile(char* versionOut, std::vector<FileEntry>& fileListOut);
    // True when every listed file exists and matches, or FILECMP is off.
    // False, with nothing logged or changed, once the termination request
    // is raised: it ends the check between files and within a piece of a
    // file's digest.
    bool checkFileList(std::vector<FileEntry> fileList);

    // The folder each package is unpacked into before it is installed:
    // beside the install folder (so that moving its files into place is a
    // rename on one file system), named after it with ".staging" appended,
    // with a trailing "/". Empty when that path would not fit 259 characters.
    std::wstring stagingFolder() const;

    int32_t handleExsitLauncher(const char* versionA, const char* versionB);
    bool runLauncher();
    bool StartLauncher(const wchar_t* exePath, const wchar_t* gamePath);
    int32_t initPipe();
    int32_t sendPipeMessage(uint8_t id, int32_t command, const uint8_t* data, uint32_t length);

    // Read-outs for the entry point and the tests.
    const wchar_t* programFolder() const { return m_programFolder; }
    const wchar_t* installFolder() const { return m_installFolder; }
    const wchar_t* tempFolder() const { return m_tempFolder; }
    int32_t curlWaitTime() const { return m_curlWaitTime; }
    int32_t downloadPieceKb() const { return m_downloadPieceKb; }
    int32_t downloadThreads() const { return m_downloadThreads; }
    bool fileCompare() const { return m_fileCompare; }
    // The worker's final state; false while it runs or when it never ran.
    bool workerState(WorkerState& out) const;
    // Waits at most `timeoutMs` for the worker to end; false while it runs
    // (or when it never started).
    bool waitWorker(uint32_t timeoutMs, WorkerState& state);
    std::stop_token stopToken() const { return m_stop.get_token(); }

    // Tests: the program folder initPaths takes instead of the running
    // program's (the test binaries do not live in a game folder).
    void setProgramFolderForTesting(const wchar_t* folder);
    // Tests: how the worker obtains the downloader (Loader::instance).
    using LoaderFactory = Loader* (*)(ProgressCallback, void*, int32_t);
    static void setLoaderFactoryForTesting(LoaderFactory factory);
    static LoaderFactory loaderFactory();

private:
    bool stopped() const { return m_stop.stop_requested(); }
    // Shows warning `id` and returns once the player confirmed it; shows
    // nothing once the termination request is raised or without a window.
    // True when the box was shown.
    bool warn(uint32_t id);
    // praseVersionFile and checkFileList on the launcher below `folder`.
    int32_t readVersionFileIn(const wchar_t* folder, char* versionOut, std::vector<FileEntry>& fileListOut);
    // A listed file missing below `folder` is taken from `keptFolder` when
    // one is given: a package may carry only the files that changed, and
    // what it does not carry stays installed as it is.
    bool checkFilesIn(const wchar_t* folder, const std::vector<FileEntry>& fileList,
                      const wchar_t* keptFolder = nullptr);
    // Checks the launcher unpacked in the staging folder and, when it
    // passes, moves its files into the install folder, client/launcher.db
    // last. 0 installed (`versionOut` filled); kPackageBadVersionFile or
    // kPackageBadFile when the staged launcher fails its own check, and
    // kPackageBadArchive when a file could not be moved. The staging folder
    // is gone afterwards in every case.
    int32_t installStaged(char* versionOut);
    // Moves the staged files keepListedFiles keeps for `fileList` into place;
    // false at the first that fails.
    bool moveStagedFiles(const std::wstring& staging, const std::vector<FileEntry>& fileList);
    // Writes this try's statement as the installed launcher's (after the
    // install); a failure is logged and leaves the next run free to take any
    // validly signed package.
    void keepStatement();
    // Removes the staging folder with everything in it; true when none is left.
    bool discardStaging();
    // One run of the connect-launcher check; true when the wait is over.
    bool connectLauncherStep();
    // Waits for "EvtProCtrol" unless the progress timer never ran.
    void waitProgress(int startNumber, int endNumber);
    void stopTimers();

    // The worker's phases, in the order runWorker takes them.
    struct InstalledLauncher {
        char version[32] = {};   // asked for: "0.0.0.0" when missing or damaged
        char reported[32] = {};  // LHR_CHK's: "0.0.0.0" only when unreadable
    };
    uint32_t runWorker();
    void createTransfer();
    InstalledLauncher checkInstalledLauncher();
    WorkerState reportNoDownloader();
    WorkerState checkAndUpdate(const InstalledLauncher& installed);
    WorkerState handOverWithoutService(const char* version, int32_t checked);
    static bool startsTheLauncher(WorkerState state);
    WorkerState startInstalledLauncher(WorkerState state);
    WorkerState closeAfterHandOver(WorkerState state);
    void releaseTransfer();

    platform::Thread m_worker;
    platform::AutoResetEvent m_evtConnectLauncher{"EvtConnectLauncher"};
    platform::AutoResetEvent m_evtProCtrol{"EvtProCtrol"};
    // "The EvtProCtrol handle is set": from checkUpgrade until the progress
    // timer finishes.
    std::atomic<bool> m_progressEventOpen{false};
    // The progress timer was started; when it never was, nobody would ever
    // signal the event.
    std::atomic<bool> m_progressTimerStarted{false};
    LauncherWindow* m_pWindow = nullptr;
    wchar_t m_installFolder[kPathBufferChars];
    wchar_t m_roamingFolder[kPathBufferChars];
    wchar_t m_tempFolder[kPathBufferChars];
    wchar_t m_programFolder[kPathBufferChars];
    // Set by the worker; read by the destructor under m_transferLock, since
    // the worker releases the downloader while the destructor may stop it.
    Loader* m_pDownLoader = nullptr;
    HttpOperation* m_pHttpManager = nullptr;
    std::mutex m_transferLock;
    int32_t m_curlWaitTime = 30;
    int32_t m_downloadPieceKb = kDefaultPieceKb;
    int32_t m_downloadThreads = kDefaultPieceThreads;
    wchar_t m_settingPath[kPathBufferChars];
    std::atomic<LauncherPipe*> m_pPipe{nullptr};
    bool m_fileCompare = true;
    wchar_t m_debugPath[kPathBufferChars];
    std::atomic<uint32_t> _timerConnectLauncher{0};
    std::atomic<int8_t> m_connectOutcome{0};
    std::atomic<uint32_t> _timerProgressControl{0};
    std::atomic<uint32_t> m_progressTarget{0};
    std::atomic<uint32_t> m_progressShown{0};
    KTUpgrade* m_pKtUpgrade = nullptr;
    // Read once at construction; the worker alone uses these.
    std::vector<UpdateKey> m_updateKeys;
    std::string m_statement;         // this try's, as fetched
    std::string m_announcedVersion;  // the service's version for this try

    std::stop_source m_stop;
    wchar_t m_testProgramFolder[kPathBufferChars];
};
