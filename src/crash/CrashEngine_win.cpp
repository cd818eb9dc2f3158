// The build takes this file on Windows only; the guard keeps it empty where a
// folder-wide source list also hands it to another system's compiler.
#ifdef _WIN32

// Installation side of the engine on Windows: everything here runs outside
// the crash and may allocate. It prepares CrashState for the crash path,
// loads the minidump writer and starts the report thread, which sleeps until
// a crash wakes it. The report is written from that thread rather than from
// the crashing one: a thread whose stack overflowed has almost none left,
// and a thread that is not the crashed one is the documented caller of
// MiniDumpWriteDump.
#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <csignal>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>

#include "crash/CrashEngine.h"
#include "crash/CrashState.h"
#include "crash/CrashState_win.h"
#include "foundation/SystemUtil.h"
#include "platform/folders.h"
#include "platform/path.h"
#include "platform/process.h"
#include "platform/text.h"

namespace crash::detail {

EngineState g_state;
WindowsState g_win;
// Windows has no such signals; the list stays empty for the portable header.
const int kSignals[kSignalCount] = {};

}  // namespace crash::detail

namespace crash {
namespace {

using detail::g_state;
using detail::storeField;
using detail::storeWide;
using detail::g_win;

// Stack kept back on every thread with handlers for the exception dispatch
// after an overflow: the handler only hands the crash to the report thread,
// which needs a few hundred bytes, so this leaves a wide margin.
constexpr ULONG kStackGuaranteeBytes = 64 * 1024;
// The report thread's whole stack: its own frames and the minidump
// writer's, with room to spare. Reserved at this size rather than the
// default megabytes, because the minidump carries every thread's stack.
constexpr SIZE_T kReportThreadStackBytes = 256 * 1024;
// Long paths: the system's own bound for a path given with "\\?\".
constexpr DWORD kMaxPathChars = 32768;

std::atomic<bool> g_installed{false};
thread_local std::wstring g_lastError;
thread_local int t_depth = 0;
LPTOP_LEVEL_EXCEPTION_FILTER g_previousFilter = nullptr;
void* g_overflowHandler = nullptr;
std::terminate_handler g_previousTerminate = nullptr;
void (*g_previousAbort)(int) = SIG_DFL;
_purecall_handler g_previousPureCall = nullptr;
_invalid_parameter_handler g_previousInvalidParameter = nullptr;

int32_t fail(std::wstring text) {
    g_lastError = std::move(text);
    return kFailed;
}

std::wstring systemErrorText(DWORD code) {
    wchar_t buffer[512];
    const DWORD n = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                     buffer, static_cast<DWORD>(sizeof buffer / sizeof buffer[0]), nullptr);
    std::wstring text(buffer, n);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) text.pop_back();
    if (text.empty()) text = L"error " + std::to_wstring(code);
    return text;
}

bool storeWidePath(wchar_t* out, std::size_t capacity, const std::wstring& text) {
    if (text.size() >= capacity || text.find(L'\0') != std::wstring::npos) return false;
    std::memcpy(out, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
    return true;
}

// The full path of `path`, "." and ".." segments resolved, "\" separators.
bool fullPath(const std::wstring& path, std::wstring& out) {
    wchar_t buffer[kMaxPathChars];
    const DWORD n = ::GetFullPathNameW(path.c_str(), kMaxPathChars, buffer, nullptr);
    if (n == 0 || n >= kMaxPathChars) return false;
    out.assign(buffer, n);
    return true;
}

void guaranteeStack() {
    ULONG size = kStackGuaranteeBytes;
    ::SetThreadStackGuarantee(&size);
}

// Loaded now, while the loader is sound: at a crash the loader lock may be
// held by the crashed thread.
FARPROC loadMiniDumpWriter() {
    wchar_t system[MAX_PATH];
    const UINT n = ::GetSystemDirectoryW(system, MAX_PATH);
    if (n == 0 || n >= MAX_PATH - 16) return nullptr;
    const std::wstring path = std::wstring(system, n) + L"\\dbghelp.dll";
    HMODULE dbghelp = ::LoadLibraryW(path.c_str());
    if (dbghelp == nullptr) return nullptr;
    return ::GetProcAddress(dbghelp, "MiniDumpWriteDump");
}

}  // namespace

int32_t install(const InstallRecord* record) {
    if (g_installed.load()) return fail(L"crash reporting is already installed");
    if (const wchar_t* refused = detail::takeInstallRecord(record)) return fail(refused);
    detail::EngineState& st = g_state;

    std::wstring sender;
    const std::wstring senderName = platform::utf8ToWide(crashreport::kSenderName) + L".exe";
    if (!fullPath(platform::toSystemPath(record->senderFolder) + L"\\" + senderName, sender))
        return fail(L"sender path too long");
    const DWORD attributes = ::GetFileAttributesW(sender.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return fail(L"crash sender not found: " + sender);
    if (!storeWidePath(g_win.senderPath, detail::kWidePathChars, sender) ||
        !storeField(st.senderPath, sizeof st.senderPath, platform::wideToUtf8(sender)))
        return fail(L"sender path too long");

    std::wstring exe;
    if (!platform::moduleFileName(exe) || !storeWide(st.exePath, sizeof st.exePath, exe.c_str()))
        st.exePath[0] = '\0';
    // A PE file has no GNU build id; the sender goes by the path.
    st.buildId[0] = '\0';

    std::wstring roaming;
    if (!platform::roamingAppDataFolder(roaming))
        return fail(L"no application-data folder for crash reports: " + systemErrorText(::GetLastError()));
    std::wstring root =
        platform::toSystemPath(roaming + kProductFolder + platform::utf8ToWide(crashreport::kReportsSubfolder));
    CreateFolderPath(root.c_str());
    const DWORD rootAttributes = ::GetFileAttributesW(root.c_str());
    if (rootAttributes == INVALID_FILE_ATTRIBUTES || (rootAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return fail(L"cannot create the crash report folder " + root + L": " + systemErrorText(::GetLastError()));
    while (root.size() > 3 && platform::isSeparator(root.back())) root.pop_back();
    if (!storeField(st.reportsRoot, sizeof st.reportsRoot, platform::wideToUtf8(root)))
        return fail(L"crash report folder path too long");

    if (g_win.reportThread == nullptr) {
        // Made once per process and kept across uninstall: a report thread
        // ended at uninstall could not be started again safely at a crash.
        g_win.crashEvent = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
        g_win.doneEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (g_win.crashEvent == nullptr || g_win.doneEvent == nullptr)
            return fail(L"cannot create the crash events: " + systemErrorText(::GetLastError()));
        g_win.miniDumpWriteDump = loadMiniDumpWriter();
        g_win.reportThread =
            ::CreateThread(nullptr, kReportThreadStackBytes, detail::reportThreadMain, nullptr,
                           STACK_SIZE_PARAM_IS_A_RESERVATION, &g_win.reportThreadId);
        if (g_win.reportThread == nullptr)
            return fail(L"cannot start the crash report thread: " + systemErrorText(::GetLastError()));
    }

    detail::resetCrashGuard();
    const bool handlers = (record->flags & kFlagAllHandlers) != 0;
    if (handlers) {
        g_previousFilter = ::SetUnhandledExceptionFilter(detail::onUnhandledException);
        g_overflowHandler = ::AddVectoredExceptionHandler(1, detail::onStackOverflow);
        g_previousTerminate = std::set_terminate(detail::onTerminateWin);
        g_previousAbort = std::signal(SIGABRT, detail::onAbortSignal);
        g_previousPureCall = _set_purecall_handler(detail::onPureCall);
        g_previousInvalidParameter = _set_invalid_parameter_handler(detail::onInvalidParameter);
        // The run-time's own "abnormal program termination" box would wait
        // for a click before abort reaches the handler.
        _set_error_mode(_OUT_TO_STDERR);
        // The system's "stopped working" box would do the same after it.
        ::SetErrorMode(::GetErrorMode() | SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    }
    guaranteeStack();
    ++t_depth;
    g_installed.store(true, std::memory_order_release);
    return kOk;
}

int32_t uninstall() {
    if (!g_installed.load()) return fail(L"crash reporting is not installed");
    if ((g_state.flags & kFlagAllHandlers) != 0) {
        ::SetUnhandledExceptionFilter(g_previousFilter);
        if (g_overflowHandler != nullptr) ::RemoveVectoredExceptionHandler(g_overflowHandler);
        g_overflowHandler = nullptr;
        std::set_terminate(g_previousTerminate);
        std::signal(SIGABRT, g_previousAbort);
        _set_purecall_handler(g_previousPureCall);
        _set_invalid_parameter_handler(g_previousInvalidParameter);
    }
    if (t_depth > 0) --t_depth;
    g_state.fileCount.store(0, std::memory_order_release);
    g_installed.store(false, std::memory_order_release);
    return kOk;
}

bool isInstalled() { return g_installed.load(std::memory_order_acquire); }

int32_t installThreadHandlers(uint32_t /*flags: 0 and every handler bit mean the one set*/) {
    if (!isInstalled()) return fail(L"crash reporting is not installed");
    // The exception filter is the process's; what a thread needs of its own
    // is stack left for it after an overflow. A guarantee cannot be made
    // smaller again, so it stays for the thread's life.
    if (t_depth++ == 0) guaranteeStack();
    return kOk;
}

int32_t uninstallThreadHandlers() {
    if (!isInstalled()) return fail(L"crash reporting is not installed");
    if (t_depth == 0) return fail(L"no crash handlers on this thread");
    --t_depth;
    return kOk;
}

int32_t addFile(const wchar_t* path, const wchar_t* destName, const wchar_t* description, uint32_t flags) {
    if (!isInstalled()) return fail(L"crash reporting is not installed");
    if (path == nullptr || path[0] == L'\0') return fail(L"file path missing");
    std::wstring source;
    if (!fullPath(platform::toSystemPath(path), source)) return fail(L"file path too long: " + std::wstring(path));
    const DWORD attributes = ::GetFileAttributesW(source.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return fail(L"file not found: " + std::wstring(path));
    if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0)
        return fail(L"not a regular file: " + std::wstring(path));

    std::wstring name;
    if (destName != nullptr && destName[0] != L'\0') {
        name = destName;
    } else {
        const std::size_t slash = source.find_last_of(L"\\/");
        name = slash == std::wstring::npos ? source : source.substr(slash + 1);
    }
    // The name becomes a file of the report folder: nothing that leaves it
    // or that the system would read as a stream or a drive.
    if (name.empty() || name == L"." || name == L".." || name.find_first_of(L"\\/:") != std::wstring::npos)
        return fail(L"unusable file name in the report: " + name);
    const std::string name8 = platform::wideToUtf8(name);

    detail::EngineState& st = g_state;
    const std::size_t count = st.fileCount.load(std::memory_order_relaxed);
    for (std::size_t i = 0; i < count; ++i)
        if (::_stricmp(name8.c_str(), st.files[i].name) == 0)
            return fail(L"a file of that name is attached already: " + name);
    if (count >= crashreport::kMaxAttachedFiles) return fail(L"too many attached files");
    detail::AttachedFile& f = st.files[count];
    if (!storeField(f.source, sizeof f.source, platform::wideToUtf8(source)) ||
        !storeField(f.name, sizeof f.name, name8) || !storeWide(f.description, sizeof f.description, description))
        return fail(L"attached file path, name or description too long");
    f.flags = flags;
    st.fileCount.store(count + 1, std::memory_order_release);
    return kOk;
}

std::wstring lastErrorText() { return g_lastError; }

std::string reportsRoot() { return isInstalled() ? std::string(g_state.reportsRoot) : std::string(); }

}  // namespace crash

#endif  // _WIN32
