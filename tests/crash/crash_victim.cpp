// Installs the crash-report engine and crashes on purpose, one way per run:
//   crash_victim <way> <sender folder> [<file to attach>]
// way: null, abort, (Windows only: invalidparameter, illegal), terminate, uncaught (exception), badalloc, purevirtual, divzero, overflow (on a worker
// thread), thread (on a worker while the main thread is busy), twothreads
// (two workers at once), handlerfault (the handler itself faults: its
// alternate stack is swapped for one page above a guard page; on Windows the
// minidump writer the report thread calls is swapped for one that faults). Exit code 2 means the engine refused to install,
// 3 that the crash did not happen.
#include <pthread.h>
#include <signal.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <thread>

#include "crash/CrashEngine.h"
#ifdef _WIN32
#include "crash/CrashState_win.h"
#endif
#include "crash/ThreadCrashHandler.h"
#include "platform/text.h"

// Out of line and not static, so that each way has a function of its own
// name on the stack for the report to name.
__attribute__((noinline)) void crashNullWrite() {
    volatile int* volatile nowhere = nullptr;
    *nowhere = 42;
}

__attribute__((noinline)) void crashAbort() {
    std::abort();
}

__attribute__((noinline)) void crashUncaught() {
    throw std::runtime_error("nobody catches this");
}

// The allocation failure the run-time turns into std::bad_alloc, uncaught.
// The block escapes into a global, so the compiler cannot leave the
// allocation out.
char* volatile g_kept = nullptr;
__attribute__((noinline)) void crashAllocation() {
    volatile std::size_t huge = static_cast<std::size_t>(-1) / 2;
    g_kept = new char[huge];
}

__attribute__((noinline)) void crashTerminate() {
    std::terminate();
}

struct PureBase {
    PureBase();
    virtual ~PureBase() = default;
    virtual void run() = 0;
};
struct PureDerived : PureBase {
    void run() override {}
};
__attribute__((noinline)) void crashPureCall(PureBase* object) {
    // During the base's construction the object's type is still the base,
    // whose run() is pure: the run-time's pure-virtual handler terminates.
    object->run();
}
PureBase::PureBase() { crashPureCall(this); }

__attribute__((noinline)) int crashDivide(int dividend, int divisor) {
    // Through volatile copies, so the compiler keeps a real division.
    volatile int a = dividend;
    volatile int b = divisor;
    return a / b;
}

// Ends only when the stack does; `limit` is never reached, it only keeps
// the compiler from calling the recursion infinite.
__attribute__((noinline)) int recurseForever(int depth, int limit) {
    volatile char frame[512];
    frame[0] = static_cast<char>(depth);
    if (depth == limit) return frame[0];
    return recurseForever(depth + 1, limit) + frame[0];
}

std::atomic<bool> g_go{false};
std::atomic<int> g_ready{0};

__attribute__((noinline)) void crashOnWorker() {
    const ThreadCrashScope handlers;
    g_ready.fetch_add(1);
    while (!g_go.load()) {
    }
    crashNullWrite();
}

void* overflowThread(void*) {
    const ThreadCrashScope handlers;
    std::printf("%d\n", recurseForever(0, -1));
    return nullptr;
}

#ifdef _WIN32
// What a C run-time does with a call it refuses as an invalid parameter:
// it calls the process's invalid-parameter handler. The msvcrt this build
// uses returns EINVAL instead, so the handler is called as such a run-time
// would.
__attribute__((noinline)) void crashInvalidParameter() {
    const _invalid_parameter_handler handler = _get_invalid_parameter_handler();
    if (handler != nullptr) handler(L"destination != NULL", L"strcpy_s", L"string.c", 42, 0);
}

__attribute__((noinline)) void crashIllegal() { __builtin_trap(); }

// Stands in for the minidump writer: the report thread faults in it.
BOOL WINAPI faultingDumpWriter() {
    crashNullWrite();
    return FALSE;
}
#endif

int main(int argc, char** argv) {
    if (argc < 3) return 64;
    const std::string way = argv[1];
    const std::wstring sender = platform::utf8ToWide(argv[2]);
    crash::InstallRecord record;
    record.size = crash::kInstallRecordSize;
    record.appName = L"crash_victim";
    record.appVersion = L"9.8.7.6";
    // GL_VICTIM_UPLOAD_URL points the upload at a test's own service.
    const char* urlOverride = std::getenv("GL_VICTIM_UPLOAD_URL");
    const std::wstring url = urlOverride != nullptr ? platform::utf8ToWide(urlOverride)
                                                    : L"http://127.0.0.1:9/index.php/crashReport/uploadExternal";
    record.url = url.c_str();
    record.senderFolder = sender.c_str();
    record.flags = 0x5FFF;
    record.privacyPolicyUrl = L"http://127.0.0.1:9/privacy";
    if (crash::install(&record) != crash::kOk) {
        std::fprintf(stderr, "install failed: %ls\n", crash::lastErrorText().c_str());
        return 2;
    }
    if (argc > 3) {
        const std::wstring file = platform::utf8ToWide(argv[3]);
        if (crash::addFile(file.c_str(), nullptr, L"LogFile", crash::kFileFlagCopy | crash::kFileFlagAllowDelete) !=
            crash::kOk) {
            std::fprintf(stderr, "addFile failed: %ls\n", crash::lastErrorText().c_str());
            return 2;
        }
    }
    // Lets the new crash handlers see a normal thread start first, as the
    // program's own threads do.
    installThreadCrashHandler();
    uninstallThreadCrashHandler();

#ifdef _WIN32
    if (way == "handlerfault") {
        crash::detail::g_win.miniDumpWriteDump = reinterpret_cast<FARPROC>(reinterpret_cast<void*>(faultingDumpWriter));
        crashNullWrite();
    }
#else
    if (way == "handlerfault") {
        const long page = sysconf(_SC_PAGESIZE);
        char* m = static_cast<char*>(
            mmap(nullptr, static_cast<size_t>(2 * page), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        if (m == MAP_FAILED || mprotect(m, static_cast<size_t>(page), PROT_NONE) != 0) return 4;
        stack_t tiny{};
        tiny.ss_sp = m + page;
        tiny.ss_size = static_cast<size_t>(page);
        if (sigaltstack(&tiny, nullptr) != 0) return 4;
        crashNullWrite();
    }
#endif
#ifdef _WIN32
    if (way == "invalidparameter") crashInvalidParameter();
    if (way == "illegal") crashIllegal();
#endif
    if (way == "null") crashNullWrite();
    if (way == "abort") crashAbort();
    if (way == "terminate") crashTerminate();
    if (way == "uncaught") crashUncaught();
    if (way == "badalloc") crashAllocation();
    if (way == "purevirtual") PureDerived derived;
    if (way == "divzero") std::printf("%d\n", crashDivide(7, 0));
    if (way == "overflow") {
        // A small stack, so the overflow comes quickly.
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstacksize(&attr, 256 * 1024);
        pthread_t thread;
        if (pthread_create(&thread, &attr, overflowThread, nullptr) != 0) return 4;
        pthread_join(thread, nullptr);
    }
    if (way == "thread") {
        std::thread worker(crashOnWorker);
        // The main thread stays busy; the worker's crash ends the process.
        g_go.store(true);
        volatile unsigned long spin = 0;
        for (;;) spin = spin + 1;
    }
    if (way == "twothreads") {
        std::thread first(crashOnWorker);
        std::thread second(crashOnWorker);
        while (g_ready.load() < 2) {
        }
        g_go.store(true);
        first.join();
        second.join();
    }
    return 3;
}
