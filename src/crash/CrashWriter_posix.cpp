// The POSIX half of the crash path: how a fatal signal (or std::terminate) is
// caught and read: the signal's names, the registers of the signal context,
// the stack walk over /proc/self/maps, the threads, the sender's start and
// the process's end. What the report says is CrashWriter.cpp's.
//
// Runs inside a signal handler (or the terminate handler) of a process in an
// unknown state. Only async-signal-safe calls, no heap, no locks, no stdio;
// every buffer is static and reserved at load time. One thread at a time
// gets through the guard; the process never survives this file's entry
// points.
#include <cxxabi.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <typeinfo>

#include "crash/CrashEngine.h"
#include "crash/CrashReportFormat.h"
#include "crash/CrashState.h"
#include "crash/CrashWriter.h"

extern "C" char** environ;

namespace crash::detail {
namespace {

using crashreport::kMaxFrames;
using crashreport::kMaxScanBytes;

// 0 while no crash is handled; then the id of the thread handling it.
std::atomic<pid_t> g_crashingThread{0};
static_assert(std::atomic<pid_t>::is_always_lock_free);

// ---- memory reserved in advance -------------------------------------------

constexpr std::size_t kMapsBytes = 1024 * 1024;
constexpr std::size_t kMaxMappings = 16384;
constexpr std::size_t kMapsRestBytes = 64 * 1024;  // what the parse buffer leaves, copied in pieces

struct Mapping {
    uint64_t start;
    uint64_t end;
    uint64_t base;  // start of the file's lowest mapping; 0 for no file
    uint32_t pathOffset;
    uint32_t pathLength;  // 0: not a file mapping
    bool readable;
    bool executable;
};

char g_maps[kMapsBytes];
std::size_t g_mapsLength;
Mapping g_mappings[kMaxMappings];
std::size_t g_mappingCount;
char g_mapsRest[kMapsRestBytes];
char g_dirents[4096];
StackFrame g_frames[kMaxFrames];
std::size_t g_frameCount;
StackFrame g_scan[kMaxFrames];
std::size_t g_scanCount;
RegisterValue g_registers[kMaxRegisters];

// ---- small safe helpers ----------------------------------------------------

pid_t currentThreadId() { return static_cast<pid_t>(syscall(SYS_gettid)); }

bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

int descriptor(FileHandle file) { return static_cast<int>(file); }

const char* signalName(int sig) {
    switch (sig) {
        case SIGSEGV: return "SIGSEGV";
        case SIGBUS: return "SIGBUS";
        case SIGILL: return "SIGILL";
        case SIGFPE: return "SIGFPE";
        case SIGABRT: return "SIGABRT";
        case SIGTRAP: return "SIGTRAP";
        case SIGSYS: return "SIGSYS";
        default: return "-";
    }
}
const char* codeName(int sig, int code) {
    switch (code) {
        case SI_USER: return "SI_USER";
        case SI_KERNEL: return "SI_KERNEL";
        case SI_QUEUE: return "SI_QUEUE";
        case SI_TKILL: return "SI_TKILL";
        default: break;
    }
    if (sig == SIGSEGV) {
        if (code == SEGV_MAPERR) return "SEGV_MAPERR";
        if (code == SEGV_ACCERR) return "SEGV_ACCERR";
    } else if (sig == SIGBUS) {
        if (code == BUS_ADRALN) return "BUS_ADRALN";
        if (code == BUS_ADRERR) return "BUS_ADRERR";
        if (code == BUS_OBJERR) return "BUS_OBJERR";
    } else if (sig == SIGILL) {
        static const char* const kNames[] = {"ILL_ILLOPC", "ILL_ILLOPN", "ILL_ILLADR", "ILL_ILLTRP",
                                             "ILL_PRVOPC", "ILL_PRVREG", "ILL_COPROC", "ILL_BADSTK"};
        if (code >= 1 && code <= 8) return kNames[code - 1];
    } else if (sig == SIGFPE) {
        static const char* const kNames[] = {"FPE_INTDIV", "FPE_INTOVF", "FPE_FLTDIV", "FPE_FLTOVF",
                                             "FPE_FLTUND", "FPE_FLTRES", "FPE_FLTINV", "FPE_FLTSUB"};
        if (code >= 1 && code <= 8) return kNames[code - 1];
    } else if (sig == SIGTRAP) {
        if (code == TRAP_BRKPT) return "TRAP_BRKPT";
        if (code == TRAP_TRACE) return "TRAP_TRACE";
    } else if (sig == SIGSYS) {
        if (code == 1) return "SYS_SECCOMP";
    }
    return "-";
}

// ---- the memory layout -----------------------------------------------------

bool parseHex(const char*& p, const char* end, uint64_t& out) {
    out = 0;
    const char* start = p;
    while (p < end) {
        const char c = *p;
        unsigned v;
        if (c >= '0' && c <= '9') v = static_cast<unsigned>(c - '0');
        else if (c >= 'a' && c <= 'f') v = static_cast<unsigned>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F') v = static_cast<unsigned>(c - 'A' + 10);
        else break;
        out = out << 4 | v;
        ++p;
    }
    return p != start;
}

void skipField(const char*& p, const char* end) {
    while (p < end && *p != ' ') ++p;
    while (p < end && *p == ' ') ++p;
}

// "start-end perms offset dev inode   path"
void parseMapsLine(const char* line, const char* end) {
    if (g_mappingCount == kMaxMappings) return;
    Mapping m{};
    const char* p = line;
    uint64_t offset = 0;
    if (!parseHex(p, end, m.start) || p >= end || *p++ != '-' || !parseHex(p, end, m.end)) return;
    while (p < end && *p == ' ') ++p;
    if (end - p < 4) return;
    m.readable = p[0] == 'r';
    m.executable = p[2] == 'x';
    skipField(p, end);
    if (!parseHex(p, end, offset)) return;
    while (p < end && *p == ' ') ++p;
    skipField(p, end);  // device
    skipField(p, end);  // inode, and the blanks before the path
    if (p < end && *p == '/') {
        m.pathOffset = static_cast<uint32_t>(p - g_maps);
        m.pathLength = static_cast<uint32_t>(end - p);
        m.base = m.start - offset;
        if (g_mappingCount > 0) {
            const Mapping& prev = g_mappings[g_mappingCount - 1];
            if (prev.pathLength == m.pathLength &&
                std::memcmp(g_maps + prev.pathOffset, g_maps + m.pathOffset, m.pathLength) == 0)
                m.base = prev.base;
        }
    }
    g_mappings[g_mappingCount++] = m;
}

// Reads /proc/self/maps into g_maps, copies it whole into the report's
// "maps" file and parses what fits the buffer.
void readMaps() {
    g_mapsLength = 0;
    g_mappingCount = 0;
    const int in = ::open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (in < 0) return;
    const FileHandle out = createReportFile(crashreport::kMapsFile);
    for (;;) {
        const ssize_t n = ::read(in, g_maps + g_mapsLength, kMapsBytes - g_mapsLength);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (out != kNoFile) writeFile(out, g_maps + g_mapsLength, static_cast<std::size_t>(n));
        g_mapsLength += static_cast<std::size_t>(n);
        if (g_mapsLength == kMapsBytes) {
            // Larger than the parse buffer: copy the rest unparsed.
            for (;;) {
                const ssize_t r = ::read(in, g_mapsRest, sizeof g_mapsRest);
                if (r < 0 && errno == EINTR) continue;
                if (r <= 0) break;
                if (out != kNoFile) writeFile(out, g_mapsRest, static_cast<std::size_t>(r));
            }
            break;
        }
    }
    ::close(in);
    if (out != kNoFile) closeFile(out);
    const char* p = g_maps;
    const char* end = g_maps + g_mapsLength;
    while (p < end) {
        const char* nl = p;
        while (nl < end && *nl != '\n') ++nl;
        if (nl == end) break;  // a line cut by the buffer's end
        parseMapsLine(p, nl);
        p = nl + 1;
    }
}

const Mapping* findMapping(uint64_t address) {
    for (std::size_t i = 0; i < g_mappingCount; ++i)
        if (address >= g_mappings[i].start && address < g_mappings[i].end) return &g_mappings[i];
    return nullptr;
}

// A line of the stack, with the file its address lies in.
StackFrame frameAt(uint64_t index, uint64_t address) {
    StackFrame f{index, address, 0, nullptr, 0};
    const Mapping* m = findMapping(address);
    if (m != nullptr && m->pathLength != 0) {
        f.moduleBase = m->base;
        f.modulePath = g_maps + m->pathOffset;
        f.modulePathLength = m->pathLength;
    }
    return f;
}

bool isCode(uint64_t address) {
    const Mapping* m = findMapping(address);
    return m != nullptr && m->executable;
}

// The readable range of the stack that `sp` points into. After an overflow
// the stack pointer may sit in the guard page: then the mapping just above
// it is the stack.
bool stackRange(uint64_t sp, uint64_t& low, uint64_t& high) {
    const Mapping* m = findMapping(sp);
    if (m != nullptr && m->readable) {
        low = sp;
        high = m->end;
        return true;
    }
    const Mapping* best = nullptr;
    for (std::size_t i = 0; i < g_mappingCount; ++i) {
        const Mapping& c = g_mappings[i];
        if (c.readable && c.start > sp && c.start - sp <= 1024 * 1024 && (best == nullptr || c.start < best->start))
            best = &c;
    }
    if (best == nullptr) return false;
    low = best->start;
    high = best->end;
    return true;
}

// Reads raw stack words, redzones of sanitizer builds included: those reads
// are meant, so they are not checked.
__attribute__((no_sanitize("address", "thread", "undefined"))) void walkStack(uint64_t pc, uint64_t sp,
                                                                             uint64_t fp) {
    g_frameCount = 0;
    g_scanCount = 0;
    g_frames[g_frameCount++] = frameAt(0, pc);
    uint64_t low = 0;
    uint64_t high = 0;
    if (!stackRange(sp, low, high)) return;
    // Frame-pointer walk: each frame holds the caller's frame pointer and
    // the return address; frames only go up the stack.
    while (g_frameCount < kMaxFrames && fp >= low && fp % 8 == 0 && fp + 16 <= high) {
        const uint64_t* frame = reinterpret_cast<const uint64_t*>(fp);
        const uint64_t next = frame[0];
        const uint64_t ret = frame[1];
        if (!isCode(ret)) break;
        g_frames[g_frameCount] = frameAt(g_frameCount, ret);
        ++g_frameCount;
        if (next <= fp) break;
        fp = next;
    }
    uint64_t from = (low + 7) & ~uint64_t{7};
    uint64_t to = from + kMaxScanBytes;
    if (to > high) to = high;
    for (uint64_t a = from; a + 8 <= to && g_scanCount < kMaxFrames; a += 8) {
        const uint64_t value = *reinterpret_cast<const uint64_t*>(a);
        const Mapping* m = findMapping(value);
        if (m != nullptr && m->executable && m->pathLength != 0)
            g_scan[g_scanCount++] = frameAt((a - (sp & ~uint64_t{7})) / 8, value);
    }
}

// ---- the signal context ------------------------------------------------------

std::size_t readRegisters(const ucontext_t* uc, RegisterValue* out) {
#if defined(__x86_64__)
    static const char* const kNames[] = {"r8",  "r9",  "r10", "r11", "r12",    "r13",    "r14",
                                         "r15", "rdi", "rsi", "rbp", "rbx",    "rdx",    "rax",
                                         "rcx", "rsp", "rip", "eflags", "csgsfs", "err", "trapno",
                                         "oldmask", "cr2"};
    static_assert(sizeof kNames / sizeof kNames[0] == NGREG);
    static_assert(NGREG <= kMaxRegisters);
    for (int i = 0; i < NGREG; ++i)
        out[i] = RegisterValue{kNames[i], static_cast<uint64_t>(uc->uc_mcontext.gregs[i])};
    return NGREG;
#else
    (void)uc;
    (void)out;
    return 0;
#endif
}

void contextPointers(const ucontext_t* uc, uint64_t& pc, uint64_t& sp, uint64_t& fp) {
#if defined(__x86_64__)
    pc = static_cast<uint64_t>(uc->uc_mcontext.gregs[REG_RIP]);
    sp = static_cast<uint64_t>(uc->uc_mcontext.gregs[REG_RSP]);
    fp = static_cast<uint64_t>(uc->uc_mcontext.gregs[REG_RBP]);
#elif defined(__aarch64__)
    pc = uc->uc_mcontext.pc;
    sp = uc->uc_mcontext.sp;
    fp = uc->uc_mcontext.regs[29];
#else
    pc = sp = fp = 0;
    (void)uc;
#endif
}

// ---- the process's end -------------------------------------------------------

// Starts the sender on the finished report and waits only until its
// execve has either happened or failed.
void startSender() {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return;
    const pid_t pid = _Fork();
    if (pid == 0) {
        ::close(pipeFds[0]);
        ::setsid();
        // The handler's blocked signals would otherwise survive execve.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        const int devNull = ::open("/dev/null", O_RDONLY);
        if (devNull >= 0 && devNull != 0) {
            ::dup2(devNull, 0);
            ::close(devNull);
        }
        // Nothing of the crashed process's files, sockets or locks goes to
        // the sender, except the pipe (closed by execve itself).
        const unsigned keep = static_cast<unsigned>(pipeFds[1]);
        if (keep > 3) syscall(SYS_close_range, 3u, keep - 1, 0u);
        syscall(SYS_close_range, keep + 1, ~0u, 0u);
        char* argv[] = {g_state.senderPath, const_cast<char*>(reportFolder()), nullptr};
        ::execve(g_state.senderPath, argv, environ);
        const int error = errno;
        writeAll(pipeFds[1], reinterpret_cast<const char*>(&error), sizeof error);
        _exit(127);
    }
    ::close(pipeFds[1]);
    if (pid > 0) {
        pollfd p{pipeFds[0], POLLIN, 0};
        while (::poll(&p, 1, kSenderStartWaitMs) < 0 && errno == EINTR) {
        }
    }
    ::close(pipeFds[0]);
}

[[noreturn]] void endProcess(int sig) {
    struct sigaction fallback{};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(sig, &fallback, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    syscall(SYS_tgkill, getpid(), currentThreadId(), sig);
    // Not reached for the signals handled here, whose default ends the
    // process; kept so that nothing returns into the crashed code.
    _exit(128 + sig);
}

[[noreturn]] void handleCrash(int sig, const siginfo_t* info, const ucontext_t* uc, const char* cause,
                              const char* exceptionName) {
    const pid_t tid = currentThreadId();
    pid_t expected = 0;
    if (!g_crashingThread.compare_exchange_strong(expected, tid)) {
        // A fault inside the handler itself: no second attempt.
        if (expected == tid) endProcess(sig);
        // Another thread is writing its report and will end the process;
        // wait for that, but not forever.
        for (unsigned i = 0; i < kSecondCrashWaitSeconds * 10; ++i) {
            timespec pause{0, 100 * 1000 * 1000};
            nanosleep(&pause, nullptr);
        }
        endProcess(sig);
    }
    // A handler stuck on a file system or in the kernel ends here.
    alarm(kHandlerTimeLimitSeconds);
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const CrashTime when = crashTimeAt(now.tv_sec);
    if (makeReportFolder(when)) {
        uint64_t pc = 0, sp = 0, fp = 0;
        if (uc != nullptr) contextPointers(uc, pc, sp, fp);
        readMaps();
        walkStack(pc, sp, fp);
        copyAttachedFiles();
        CrashFacts facts{};
        facts.signal = sig;
        facts.signalName = signalName(sig);
        facts.cause = cause;
        facts.code = info != nullptr ? info->si_code : 0;
        facts.codeName = info != nullptr ? codeName(sig, info->si_code) : "-";
        facts.address = info != nullptr ? reinterpret_cast<uint64_t>(info->si_addr) : 0;
        facts.exceptionName = exceptionName;
        facts.threadId = static_cast<uint64_t>(tid);
        facts.registers = g_registers;
        facts.registerCount = uc != nullptr ? readRegisters(uc, g_registers) : 0;
        facts.frames = g_frames;
        facts.frameCount = g_frameCount;
        facts.scan = g_scan;
        facts.scanCount = g_scanCount;
        writeDescription(facts, when);
        startSender();
    }
    endProcess(sig);
}

}  // namespace

// ---- the system operations of CrashWriter.h ----------------------------------

FolderResult makeFolder(const char* path) {
    if (::mkdir(path, 0700) == 0) return FolderResult::Made;
    return errno == EEXIST ? FolderResult::Exists : FolderResult::Failed;
}

FileHandle createNewFile(const char* path) {
    return ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
}

FileHandle openFileToCopy(const char* path, int64_t& size) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return kNoFile;
    struct stat info{};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return kNoFile;
    }
    size = info.st_size;
    return fd;
}

bool seekFile(FileHandle file, uint64_t offset) {
    return ::lseek(descriptor(file), static_cast<off_t>(offset), SEEK_SET) >= 0;
}

int64_t readFile(FileHandle file, char* buffer, std::size_t size) {
    for (;;) {
        const ssize_t n = ::read(descriptor(file), buffer, size);
        if (n < 0 && errno == EINTR) continue;
        return n;
    }
}

bool writeFile(FileHandle file, const char* data, std::size_t size) { return writeAll(descriptor(file), data, size); }

void closeFile(FileHandle file) { ::close(descriptor(file)); }

uint64_t currentProcessId() { return static_cast<uint64_t>(getpid()); }

void forEachThread(void (*onThread)(uint64_t threadId, void* context), void* context) {
    const int fd = ::open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    for (;;) {
        const long n = syscall(SYS_getdents64, fd, g_dirents, sizeof g_dirents);
        if (n <= 0) break;
        long pos = 0;
        while (pos < n) {
            // struct linux_dirent64: ino (8), off (8), reclen (2), type (1), name
            const char* entry = g_dirents + pos;
            uint16_t reclen;
            std::memcpy(&reclen, entry + 16, sizeof reclen);
            const char* name = entry + 19;
            if (name[0] >= '0' && name[0] <= '9') {
                uint64_t id = 0;
                for (const char* p = name; *p >= '0' && *p <= '9'; ++p) id = id * 10 + static_cast<uint64_t>(*p - '0');
                onThread(id, context);
            }
            if (reclen == 0) break;
            pos += reclen;
        }
    }
    ::close(fd);
}

// ---- entry points --------------------------------------------------------------

void resetCrashGuard() { g_crashingThread.store(0); }

void onCrashSignal(int sig, void* info, void* context) {
    handleCrash(sig, static_cast<const siginfo_t*>(info), static_cast<const ucontext_t*>(context), "signal",
                nullptr);
}

void onTerminate() {
    // Not a signal handler, but the process is just as broken: same path.
    ucontext_t context;
    getcontext(&context);
    const std::type_info* type = abi::__cxa_current_exception_type();
    handleCrash(SIGABRT, nullptr, &context, "terminate", type != nullptr ? type->name() : nullptr);
}

}  // namespace crash::detail
