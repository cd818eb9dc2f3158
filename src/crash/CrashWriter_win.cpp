// The build takes this file on Windows only; the guard keeps it empty where a
// folder-wide source list also hands it to another system's compiler.
#ifdef _WIN32

// The Windows half of the crash path: how an unhandled exception, abort,
// std::terminate, a pure virtual call or an invalid parameter of the C
// run-time is caught and read, the module list, the stack walk, the
// minidump, the sender's start and the process's end. What the report says
// is CrashWriter.cpp's.
//
// Two threads take part. The crashing thread only records what happened,
// wakes the report thread (started at install time) and waits for it,
// bounded: after a stack overflow it has little stack left, and its own
// state is what the report describes. The report thread writes everything,
// minidump included, from static buffers, then starts the sender; the
// crashing thread then ends the process. A fault on the report thread, or a
// second fault on the crashing one, ends the process at once.
//
// What is not in our hands: the system's file and process calls take the
// process heap's lock, and the module list and the minidump the loader's.
// When the crashed thread died holding one of them, the report thread
// blocks there; the crashing thread stops waiting after
// kHandlerTimeLimitSeconds and ends the process with what was written (a
// folder without the "complete" mark).
#include <windows.h>
#include <dbghelp.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <atomic>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cxxabi.h>
#include <typeinfo>

#include "crash/CrashEngine.h"
#include "crash/CrashReportFormat.h"
#include "crash/CrashState.h"
#include "crash/CrashState_win.h"
#include "crash/CrashWriter.h"

namespace crash::detail {
namespace {

using crashreport::kMaxFrames;

// The exit code of a process ended by abort or std::terminate, as the C
// run-time's abort gives it.
constexpr UINT kAbortExitCode = 3;
// Exception codes for the crashes that raise none: the ones the system uses
// for the same events.
constexpr DWORD kFatalAppExit = 0x40000015;           // STATUS_FATAL_APP_EXIT
constexpr DWORD kInvalidParameter = 0xC0000417;       // STATUS_INVALID_CRUNTIME_PARAMETER
constexpr DWORD kStackBufferOverrun = 0xC0000409;     // STATUS_STACK_BUFFER_OVERRUN
constexpr int kSigAbrt = 22;                          // SIGABRT of the C run-time

// 0 while no crash is handled; then the id of the thread handling it.
std::atomic<DWORD> g_crashingThread{0};

// ---- the request, filled by the crashing thread ------------------------------

struct Request {
    DWORD threadId;
    const char* cause;
    const char* exceptionName;
    EXCEPTION_RECORD record;
    CONTEXT context;
    EXCEPTION_POINTERS pointers;
};
Request g_request;

// ---- memory reserved in advance ------------------------------------------------

constexpr std::size_t kMaxModules = 512;
constexpr std::size_t kModulePathBytes = 1024;

struct Module {
    uint64_t start;
    uint64_t end;
    char path[kModulePathBytes];
    std::size_t pathLength;
};

HMODULE g_handles[kMaxModules];
Module g_modules[kMaxModules];
std::size_t g_moduleCount;
wchar_t g_widePath[kWidePathChars];
wchar_t g_wideName[kWidePathChars];
wchar_t g_commandLine[2 * kWidePathChars + 8];
char g_line[kModulePathBytes + 128];
StackFrame g_frames[kMaxFrames];
std::size_t g_frameCount;
RegisterValue g_registers[kMaxRegisters];
CONTEXT g_walk;

// ---- small helpers ---------------------------------------------------------------

// UTF-8 to the wide form, into a static buffer; false when it does not fit.
bool toWide(const char* text, wchar_t* out, std::size_t capacity) {
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, text, -1, out, static_cast<int>(capacity));
    return n > 0;
}

HANDLE handle(FileHandle file) { return reinterpret_cast<HANDLE>(file); }

std::size_t appendHex(char* out, std::size_t at, std::size_t capacity, uint64_t value) {
    char digits[16];
    int n = 0;
    do {
        digits[n++] = "0123456789abcdef"[value & 0xF];
        value >>= 4;
    } while (value != 0);
    while (n > 0 && at + 1 < capacity) out[at++] = digits[--n];
    return at;
}

std::size_t appendText(char* out, std::size_t at, std::size_t capacity, const char* text, std::size_t length) {
    for (std::size_t i = 0; i < length && at + 1 < capacity; ++i) out[at++] = text[i];
    return at;
}

struct ExceptionInfo {
    DWORD code;
    const char* name;
    int signal;
    const char* signalName;
};

ExceptionInfo describe(DWORD code) {
    switch (code) {
        case EXCEPTION_ACCESS_VIOLATION: return {code, "EXCEPTION_ACCESS_VIOLATION", 11, "SIGSEGV"};
        case EXCEPTION_IN_PAGE_ERROR: return {code, "EXCEPTION_IN_PAGE_ERROR", 11, "SIGSEGV"};
        case EXCEPTION_STACK_OVERFLOW: return {code, "EXCEPTION_STACK_OVERFLOW", 11, "SIGSEGV"};
        case EXCEPTION_ARRAY_BOUNDS_EXCEEDED: return {code, "EXCEPTION_ARRAY_BOUNDS_EXCEEDED", 11, "SIGSEGV"};
        case EXCEPTION_DATATYPE_MISALIGNMENT: return {code, "EXCEPTION_DATATYPE_MISALIGNMENT", 11, "SIGSEGV"};
        case EXCEPTION_GUARD_PAGE: return {code, "EXCEPTION_GUARD_PAGE", 11, "SIGSEGV"};
        case EXCEPTION_ILLEGAL_INSTRUCTION: return {code, "EXCEPTION_ILLEGAL_INSTRUCTION", 4, "SIGILL"};
        case EXCEPTION_PRIV_INSTRUCTION: return {code, "EXCEPTION_PRIV_INSTRUCTION", 4, "SIGILL"};
        case EXCEPTION_INT_DIVIDE_BY_ZERO: return {code, "EXCEPTION_INT_DIVIDE_BY_ZERO", 8, "SIGFPE"};
        case EXCEPTION_INT_OVERFLOW: return {code, "EXCEPTION_INT_OVERFLOW", 8, "SIGFPE"};
        case EXCEPTION_FLT_DIVIDE_BY_ZERO: return {code, "EXCEPTION_FLT_DIVIDE_BY_ZERO", 8, "SIGFPE"};
        case EXCEPTION_FLT_INVALID_OPERATION: return {code, "EXCEPTION_FLT_INVALID_OPERATION", 8, "SIGFPE"};
        case EXCEPTION_FLT_OVERFLOW: return {code, "EXCEPTION_FLT_OVERFLOW", 8, "SIGFPE"};
        case EXCEPTION_FLT_UNDERFLOW: return {code, "EXCEPTION_FLT_UNDERFLOW", 8, "SIGFPE"};
        case EXCEPTION_FLT_INEXACT_RESULT: return {code, "EXCEPTION_FLT_INEXACT_RESULT", 8, "SIGFPE"};
        case EXCEPTION_FLT_DENORMAL_OPERAND: return {code, "EXCEPTION_FLT_DENORMAL_OPERAND", 8, "SIGFPE"};
        case EXCEPTION_FLT_STACK_CHECK: return {code, "EXCEPTION_FLT_STACK_CHECK", 8, "SIGFPE"};
        case EXCEPTION_BREAKPOINT: return {code, "EXCEPTION_BREAKPOINT", 5, "SIGTRAP"};
        case EXCEPTION_SINGLE_STEP: return {code, "EXCEPTION_SINGLE_STEP", 5, "SIGTRAP"};
        case kFatalAppExit: return {code, "STATUS_FATAL_APP_EXIT", kSigAbrt, "SIGABRT"};
        case kInvalidParameter: return {code, "STATUS_INVALID_CRUNTIME_PARAMETER", kSigAbrt, "SIGABRT"};
        case kStackBufferOverrun: return {code, "STATUS_STACK_BUFFER_OVERRUN", kSigAbrt, "SIGABRT"};
        default: return {code, "-", 0, "-"};
    }
}

// ---- the module list ("maps") ---------------------------------------------------------

// One line per loaded module in the layout of a memory map line, so the
// report's readers take it as they take one:
//   <start>-<end> r-xp 00000000 00:00 0 <path>
void readModules() {
    g_moduleCount = 0;
    DWORD needed = 0;
    if (!::K32EnumProcessModules(::GetCurrentProcess(), g_handles, sizeof g_handles, &needed)) return;
    std::size_t count = needed / sizeof(HMODULE);
    if (count > kMaxModules) count = kMaxModules;
    const FileHandle out = createReportFile(crashreport::kMapsFile);
    for (std::size_t i = 0; i < count; ++i) {
        MODULEINFO info{};
        if (!::K32GetModuleInformation(::GetCurrentProcess(), g_handles[i], &info, sizeof info)) continue;
        const DWORD n = ::GetModuleFileNameW(g_handles[i], g_wideName, static_cast<DWORD>(kWidePathChars));
        if (n == 0 || n >= kWidePathChars) continue;
        Module& m = g_modules[g_moduleCount];
        m.start = reinterpret_cast<uint64_t>(info.lpBaseOfDll);
        m.end = m.start + info.SizeOfImage;
        const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, g_wideName, static_cast<int>(n), m.path,
                                                static_cast<int>(kModulePathBytes - 1), nullptr, nullptr);
        if (bytes <= 0) continue;
        m.pathLength = static_cast<std::size_t>(bytes);
        for (std::size_t k = 0; k < m.pathLength; ++k)
            if (m.path[k] == '\n' || m.path[k] == '\t') m.path[k] = '?';
        ++g_moduleCount;
        if (out == kNoFile) continue;
        std::size_t at = appendHex(g_line, 0, sizeof g_line, m.start);
        g_line[at++] = '-';
        at = appendHex(g_line, at, sizeof g_line, m.end);
        static const char kMiddle[] = " r-xp 00000000 00:00 0 ";
        at = appendText(g_line, at, sizeof g_line, kMiddle, sizeof kMiddle - 1);
        at = appendText(g_line, at, sizeof g_line, m.path, m.pathLength);
        g_line[at++] = '\n';
        writeFile(out, g_line, at);
    }
    if (out != kNoFile) closeFile(out);
}

StackFrame frameAt(uint64_t index, uint64_t address) {
    StackFrame f{index, address, 0, nullptr, 0};
    for (std::size_t i = 0; i < g_moduleCount; ++i) {
        const Module& m = g_modules[i];
        if (address >= m.start && address < m.end) {
            f.moduleBase = m.start;
            f.modulePath = m.path;
            f.modulePathLength = m.pathLength;
            break;
        }
    }
    return f;
}

// ---- the stack walk ------------------------------------------------------------------------

bool readable(uint64_t address, std::size_t bytes) {
    MEMORY_BASIC_INFORMATION info{};
    if (::VirtualQuery(reinterpret_cast<const void*>(address), &info, sizeof info) == 0) return false;
    if (info.State != MEM_COMMIT || (info.Protect & (PAGE_NOACCESS | PAGE_GUARD)) != 0) return false;
    const uint64_t end = reinterpret_cast<uint64_t>(info.BaseAddress) + info.RegionSize;
    return address + bytes <= end;
}

// By the unwind tables every x64 function has (the compiler emits them for
// exceptions), on a copy of the crashed thread's context.
void walkStack(const CONTEXT& start) {
    g_walk = start;
    g_frameCount = 0;
    g_frames[g_frameCount++] = frameAt(0, g_walk.Rip);
    while (g_frameCount < kMaxFrames) {
        DWORD64 imageBase = 0;
        PRUNTIME_FUNCTION function = ::RtlLookupFunctionEntry(g_walk.Rip, &imageBase, nullptr);
        if (function != nullptr) {
            void* handlerData = nullptr;
            DWORD64 establisher = 0;
            ::RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, g_walk.Rip, function, &g_walk, &handlerData,
                               &establisher, nullptr);
        } else {
            // A leaf function: the return address is on top of the stack.
            if (!readable(g_walk.Rsp, 8)) break;
            g_walk.Rip = *reinterpret_cast<const DWORD64*>(g_walk.Rsp);
            g_walk.Rsp += 8;
        }
        if (g_walk.Rip == 0 || !readable(g_walk.Rsp, 8)) break;
        g_frames[g_frameCount] = frameAt(g_frameCount, g_walk.Rip);
        ++g_frameCount;
    }
}

std::size_t readRegisters(const CONTEXT& c, RegisterValue* out) {
    const RegisterValue values[] = {
        {"r8", c.R8},   {"r9", c.R9},   {"r10", c.R10}, {"r11", c.R11}, {"r12", c.R12}, {"r13", c.R13},
        {"r14", c.R14}, {"r15", c.R15}, {"rdi", c.Rdi}, {"rsi", c.Rsi}, {"rbp", c.Rbp}, {"rbx", c.Rbx},
        {"rdx", c.Rdx}, {"rax", c.Rax}, {"rcx", c.Rcx}, {"rsp", c.Rsp}, {"rip", c.Rip}, {"eflags", c.EFlags},
    };
    std::size_t n = 0;
    for (const RegisterValue& v : values) out[n++] = v;
    return n;
}

// ---- the minidump --------------------------------------------------------------------------

using MiniDumpWriter = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE, PMINIDUMP_EXCEPTION_INFORMATION,
                                     PMINIDUMP_USER_STREAM_INFORMATION, PMINIDUMP_CALLBACK_INFORMATION);

void writeMinidump() {
    if (g_win.miniDumpWriteDump == nullptr) return;
    const FileHandle file = createReportFile(crashreport::kMinidumpFile);
    if (file == kNoFile) return;
    MINIDUMP_EXCEPTION_INFORMATION exception{};
    exception.ThreadId = g_request.threadId;
    exception.ExceptionPointers = &g_request.pointers;
    exception.ClientPointers = FALSE;
    // The threads, their stacks and the modules: enough for a debugger to
    // show where each thread was, without the whole heap.
    const auto write = reinterpret_cast<MiniDumpWriter>(reinterpret_cast<void*>(g_win.miniDumpWriteDump));
    write(::GetCurrentProcess(), ::GetCurrentProcessId(), handle(file), MiniDumpNormal, &exception, nullptr,
          nullptr);
    closeFile(file);
}

// ---- the sender ----------------------------------------------------------------------------

// Starts the sender on the finished report: "<sender>" "<report folder>".
// CreateProcessW returns once the process exists; nothing waits for it.
void startSender() {
    if (!toWide(reportFolder(), g_widePath, kWidePathChars)) return;
    // The folder was put together with "/"; the sender gets the system's spelling.
    for (wchar_t* p = g_widePath; *p != L'\0'; ++p)
        if (*p == L'/') *p = L'\\';
    std::size_t at = 0;
    auto add = [&](const wchar_t* text) {
        while (*text != L'\0' && at + 1 < sizeof g_commandLine / sizeof g_commandLine[0]) g_commandLine[at++] = *text++;
    };
    // Paths cannot hold '"', so quoting them is enough.
    add(L"\"");
    add(g_win.senderPath);
    add(L"\" \"");
    add(g_widePath);
    add(L"\"");
    g_commandLine[at] = L'\0';
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    // No handle of the crashed process goes to the sender.
    if (::CreateProcessW(g_win.senderPath, g_commandLine, nullptr, nullptr, FALSE,
                         CREATE_NEW_PROCESS_GROUP | CREATE_DEFAULT_ERROR_MODE, nullptr, nullptr, &startup, &process)) {
        ::CloseHandle(process.hThread);
        ::CloseHandle(process.hProcess);
    }
}

// ---- the crashing thread ----------------------------------------------------------------------

[[noreturn]] void endProcess(UINT code) {
    ::TerminateProcess(::GetCurrentProcess(), code);
    // Not reached; kept so that nothing returns into the crashed code.
    ::ExitProcess(code);
}

[[noreturn]] void handleCrash(const EXCEPTION_POINTERS* pointers, const char* cause, const char* exceptionName,
                              DWORD syntheticCode, UINT exitCode) {
    const DWORD tid = ::GetCurrentThreadId();
    DWORD expected = 0;
    if (tid == g_win.reportThreadId || !g_crashingThread.compare_exchange_strong(expected, tid)) {
        // A fault while the report is written: no second attempt.
        if (tid == g_win.reportThreadId || expected == tid) endProcess(exitCode);
        // Another thread is reporting its crash and will end the process;
        // wait for that, but not forever.
        ::Sleep(kSecondCrashWaitSeconds * 1000);
        endProcess(exitCode);
    }
    Request& r = g_request;
    r.threadId = tid;
    r.cause = cause;
    r.exceptionName = exceptionName;
    if (pointers != nullptr && pointers->ExceptionRecord != nullptr && pointers->ContextRecord != nullptr) {
        r.record = *pointers->ExceptionRecord;
        r.record.ExceptionRecord = nullptr;
        r.context = *pointers->ContextRecord;
    } else {
        ::RtlCaptureContext(&r.context);
        r.record = EXCEPTION_RECORD{};
        r.record.ExceptionCode = syntheticCode;
        r.record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
        r.record.ExceptionAddress = reinterpret_cast<void*>(r.context.Rip);
    }
    r.pointers.ExceptionRecord = &r.record;
    r.pointers.ContextRecord = &r.context;
    if (g_win.crashEvent != nullptr && ::SetEvent(g_win.crashEvent))
        ::WaitForSingleObject(g_win.doneEvent, kHandlerTimeLimitSeconds * 1000);
    endProcess(exitCode);
}

// ---- the report thread ------------------------------------------------------------------------

void writeReport() {
    const Request& r = g_request;
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    const uint64_t ticks = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    const CrashTime when = crashTimeAt(static_cast<int64_t>(ticks / 10000000u) - 11644473600LL);
    if (!makeReportFolder(when)) return;
    readModules();
    walkStack(r.context);
    copyAttachedFiles();
    writeMinidump();
    const ExceptionInfo info = describe(r.record.ExceptionCode);
    CrashFacts facts{};
    facts.signal = info.signal;
    facts.signalName = info.signalName;
    facts.cause = r.cause;
    facts.code = static_cast<int32_t>(r.record.ExceptionCode);
    facts.codeName = info.name;
    // An access violation names the address it touched; every other
    // exception the instruction's.
    facts.address = r.record.ExceptionCode == EXCEPTION_ACCESS_VIOLATION && r.record.NumberParameters >= 2
                        ? static_cast<uint64_t>(r.record.ExceptionInformation[1])
                        : reinterpret_cast<uint64_t>(r.record.ExceptionAddress);
    facts.exceptionName = r.exceptionName;
    facts.threadId = r.threadId;
    facts.registers = g_registers;
    facts.registerCount = readRegisters(r.context, g_registers);
    facts.frames = g_frames;
    facts.frameCount = g_frameCount;
    facts.scan = nullptr;
    facts.scanCount = 0;
    writeDescription(facts, when);
    startSender();
}

}  // namespace

DWORD WINAPI reportThreadMain(void*) {
    for (;;) {
        if (::WaitForSingleObject(g_win.crashEvent, INFINITE) != WAIT_OBJECT_0) return 1;
        if (g_crashingThread.load() == 0) continue;
        writeReport();
        ::SetEvent(g_win.doneEvent);
        return 0;
    }
}

// ---- the system operations of CrashWriter.h ----------------------------------

FolderResult makeFolder(const char* path) {
    if (!toWide(path, g_widePath, kWidePathChars)) return FolderResult::Failed;
    if (::CreateDirectoryW(g_widePath, nullptr)) return FolderResult::Made;
    return ::GetLastError() == ERROR_ALREADY_EXISTS ? FolderResult::Exists : FolderResult::Failed;
}

FileHandle createNewFile(const char* path) {
    if (!toWide(path, g_widePath, kWidePathChars)) return kNoFile;
    // CREATE_NEW never opens what is there, a link included.
    HANDLE h = ::CreateFileW(g_widePath, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    return h == INVALID_HANDLE_VALUE ? kNoFile : reinterpret_cast<FileHandle>(h);
}

FileHandle openFileToCopy(const char* path, int64_t& size) {
    if (!toWide(path, g_widePath, kWidePathChars)) return kNoFile;
    // A named pipe or a device put in the file's place must not stall the
    // crash path: only a disk file is read.
    HANDLE h = ::CreateFileW(g_widePath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return kNoFile;
    BY_HANDLE_FILE_INFORMATION info{};
    LARGE_INTEGER length{};
    if (::GetFileType(h) != FILE_TYPE_DISK || !::GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
        !::GetFileSizeEx(h, &length)) {
        ::CloseHandle(h);
        return kNoFile;
    }
    size = length.QuadPart;
    return reinterpret_cast<FileHandle>(h);
}

bool seekFile(FileHandle file, uint64_t offset) {
    LARGE_INTEGER to{};
    to.QuadPart = static_cast<LONGLONG>(offset);
    return ::SetFilePointerEx(handle(file), to, nullptr, FILE_BEGIN) != 0;
}

int64_t readFile(FileHandle file, char* buffer, std::size_t size) {
    DWORD n = 0;
    const DWORD want = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
    if (!::ReadFile(handle(file), buffer, want, &n, nullptr)) return -1;
    return n;
}

bool writeFile(FileHandle file, const char* data, std::size_t size) {
    while (size > 0) {
        DWORD n = 0;
        const DWORD want = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
        if (!::WriteFile(handle(file), data, want, &n, nullptr) || n == 0) return false;
        data += n;
        size -= n;
    }
    return true;
}

void closeFile(FileHandle file) { ::CloseHandle(handle(file)); }

uint64_t currentProcessId() { return ::GetCurrentProcessId(); }

void forEachThread(void (*onThread)(uint64_t threadId, void* context), void* context) {
    HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    const DWORD pid = ::GetCurrentProcessId();
    for (BOOL more = ::Thread32First(snapshot, &entry); more; more = ::Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == pid) onThread(entry.th32ThreadID, context);
        entry.dwSize = sizeof entry;
    }
    ::CloseHandle(snapshot);
}

// ---- entry points --------------------------------------------------------------

void resetCrashGuard() { g_crashingThread.store(0); }

LONG WINAPI onUnhandledException(EXCEPTION_POINTERS* pointers) {
    const DWORD code = pointers != nullptr && pointers->ExceptionRecord != nullptr
                           ? pointers->ExceptionRecord->ExceptionCode
                           : kFatalAppExit;
    handleCrash(pointers, "exception", nullptr, code, code);
}

// Called before any frame's own handler, and so with more of the little
// stack an overflow leaves than the unhandled-exception filter would get.
// Nothing can handle an overflow: it is reported here.
LONG WINAPI onStackOverflow(EXCEPTION_POINTERS* pointers) {
    if (pointers == nullptr || pointers->ExceptionRecord == nullptr ||
        pointers->ExceptionRecord->ExceptionCode != EXCEPTION_STACK_OVERFLOW)
        return EXCEPTION_CONTINUE_SEARCH;
    handleCrash(pointers, "exception", nullptr, EXCEPTION_STACK_OVERFLOW, EXCEPTION_STACK_OVERFLOW);
}

void onAbortSignal(int) { handleCrash(nullptr, "signal", nullptr, kFatalAppExit, kAbortExitCode); }

void onTerminateWin() {
    const std::type_info* type = abi::__cxa_current_exception_type();
    handleCrash(nullptr, "terminate", type != nullptr ? type->name() : nullptr, kFatalAppExit, kAbortExitCode);
}

void onPureCall() { handleCrash(nullptr, "purecall", nullptr, kFatalAppExit, kAbortExitCode); }

void onInvalidParameter(const wchar_t*, const wchar_t*, const wchar_t*, unsigned, uintptr_t) {
    handleCrash(nullptr, "invalidparameter", nullptr, kInvalidParameter, kInvalidParameter);
}

}  // namespace crash::detail

#endif  // _WIN32
