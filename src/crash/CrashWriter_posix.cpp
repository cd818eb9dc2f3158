// The crash path: runs inside a signal handler (or the terminate handler)
// of a process in an unknown state. Only async-signal-safe calls, no heap,
// no locks, no stdio; every buffer is static and reserved at load time. One
// thread at a time gets through the guard; the process never survives this
// file's entry points.
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

extern "C" char** environ;

namespace crash::detail {
namespace {

using crashreport::kMaxFileCopyBytes;
using crashreport::kMaxFrames;
using crashreport::kMaxScanBytes;

// 0 while no crash is handled; then the id of the thread handling it.
std::atomic<pid_t> g_crashingThread{0};
static_assert(std::atomic<pid_t>::is_always_lock_free);

// ---- memory reserved in advance -------------------------------------------

constexpr std::size_t kMapsBytes = 1024 * 1024;
constexpr std::size_t kMaxMappings = 16384;
constexpr std::size_t kCopyBytes = 64 * 1024;

struct Mapping {
    uint64_t start;
    uint64_t end;
    uint64_t base;  // start of the file's lowest mapping; 0 for no file
    uint32_t pathOffset;
    uint32_t pathLength;  // 0: not a file mapping
    bool readable;
    bool executable;
};

struct Frame {
    uint64_t index;
    uint64_t address;
};

char g_maps[kMapsBytes];
std::size_t g_mapsLength;
Mapping g_mappings[kMaxMappings];
std::size_t g_mappingCount;
char g_copy[kCopyBytes];
char g_outBuffer[8192];
char g_reportDir[kPathBytes];
char g_path[kPathBytes];
char g_dirents[4096];
Frame g_frames[kMaxFrames];
std::size_t g_frameCount;
Frame g_scan[kMaxFrames];
std::size_t g_scanCount;
int64_t g_copied[crashreport::kMaxAttachedFiles];
int64_t g_sizes[crashreport::kMaxAttachedFiles];

// ---- small safe helpers ----------------------------------------------------

pid_t currentThreadId() { return static_cast<pid_t>(syscall(SYS_gettid)); }

// Appends to a fixed buffer; what does not fit is dropped and remembered.
struct Text {
    char* data;
    std::size_t capacity;
    std::size_t length = 0;
    bool overflow = false;

    Text(char* d, std::size_t c) : data(d), capacity(c) { data[0] = '\0'; }
    Text& add(const char* s) {
        while (*s != '\0') add(*s++);
        return *this;
    }
    Text& add(char c) {
        if (length + 1 < capacity) {
            data[length++] = c;
            data[length] = '\0';
        } else {
            overflow = true;
        }
        return *this;
    }
    Text& dec(uint64_t v, int width = 0) {
        char digits[24];
        int n = 0;
        do {
            digits[n++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v != 0);
        for (int i = n; i < width; ++i) add('0');
        while (n > 0) add(digits[--n]);
        return *this;
    }
    Text& sdec(int64_t v) {
        if (v < 0) {
            add('-');
            return dec(static_cast<uint64_t>(-(v + 1)) + 1);
        }
        return dec(static_cast<uint64_t>(v));
    }
    Text& hex(uint64_t v, int width) {
        add("0x");
        char digits[16];
        int n = 0;
        do {
            digits[n++] = "0123456789abcdef"[v & 0xF];
            v >>= 4;
        } while (v != 0);
        for (int i = n; i < width; ++i) add('0');
        while (n > 0) add(digits[--n]);
        return *this;
    }
};

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

// A buffered record writer for crash.txt.
struct Out {
    int fd;
    std::size_t used = 0;
    explicit Out(int f) : fd(f) {}
    void put(const char* s, std::size_t n) {
        while (n > 0) {
            if (used == sizeof g_outBuffer) flush();
            std::size_t take = sizeof g_outBuffer - used;
            if (take > n) take = n;
            std::memcpy(g_outBuffer + used, s, take);
            used += take;
            s += take;
            n -= take;
        }
    }
    void put(const Text& t) { put(t.data, t.length); }
    void flush() {
        writeAll(fd, g_outBuffer, used);
        used = 0;
    }
};

int openForWrite(const char* path) {
    return ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
}

// g_path = g_reportDir + "/" + name
const char* inReport(const char* name) {
    Text t(g_path, sizeof g_path);
    t.add(g_reportDir).add('/').add(name);
    return g_path;
}

void civilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = static_cast<int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    if (m <= 2) ++y;
}

struct CrashTime {
    int64_t unix;
    int64_t year;
    unsigned month, day, hour, minute, second;
};

CrashTime crashTime() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    CrashTime t{};
    t.unix = ts.tv_sec;
    int64_t days = ts.tv_sec / 86400;
    int64_t secs = ts.tv_sec % 86400;
    if (secs < 0) {
        secs += 86400;
        --days;
    }
    civilFromDays(days, t.year, t.month, t.day);
    t.hour = static_cast<unsigned>(secs / 3600);
    t.minute = static_cast<unsigned>(secs / 60 % 60);
    t.second = static_cast<unsigned>(secs % 60);
    return t;
}

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
    const int out = openForWrite(inReport(crashreport::kMapsFile));
    for (;;) {
        const ssize_t n = ::read(in, g_maps + g_mapsLength, kMapsBytes - g_mapsLength);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (out >= 0) writeAll(out, g_maps + g_mapsLength, static_cast<std::size_t>(n));
        g_mapsLength += static_cast<std::size_t>(n);
        if (g_mapsLength == kMapsBytes) {
            // Larger than the parse buffer: copy the rest unparsed.
            for (;;) {
                const ssize_t r = ::read(in, g_copy, sizeof g_copy);
                if (r < 0 && errno == EINTR) continue;
                if (r <= 0) break;
                if (out >= 0) writeAll(out, g_copy, static_cast<std::size_t>(r));
            }
            break;
        }
    }
    ::close(in);
    if (out >= 0) ::close(out);
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
    g_frames[g_frameCount++] = Frame{0, pc};
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
        g_frames[g_frameCount] = Frame{g_frameCount, ret};
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
            g_scan[g_scanCount++] = Frame{(a - (sp & ~uint64_t{7})) / 8, value};
    }
}

void putFrame(Out& out, const char* key, const Frame& f) {
    char line[kPathBytes + 160];
    Text t(line, sizeof line);
    t.add(key).add('\t').dec(f.index).add('\t').hex(f.address, 16).add('\t');
    const Mapping* m = findMapping(f.address);
    if (m == nullptr || m->pathLength == 0) {
        t.add("0x0\t0x0\t-\n");
        out.put(t);
        return;
    }
    t.hex(m->base, 1).add('\t').hex(f.address - m->base, 1).add('\t');
    out.put(t);
    out.put(g_maps + m->pathOffset, m->pathLength);
    out.put("\n", 1);
}

// ---- pieces of the report ----------------------------------------------------

bool makeReportFolder(const CrashTime& t) {
    // The root may have gone since installation: make it again, level by level.
    {
        Text root(g_path, sizeof g_path);
        root.add(g_state.reportsRoot);
        for (std::size_t i = 1; i <= root.length; ++i) {
            if (i == root.length || g_path[i] == '/') {
                const char saved = g_path[i];
                g_path[i] = '\0';
                ::mkdir(g_path, 0700);
                g_path[i] = saved;
            }
        }
    }
    for (unsigned n = 1; n <= 100; ++n) {
        Text dir(g_reportDir, sizeof g_reportDir);
        dir.add(g_state.reportsRoot).add('/');
        dir.dec(static_cast<uint64_t>(t.year), 4).dec(t.month, 2).dec(t.day, 2).add('T');
        dir.dec(t.hour, 2).dec(t.minute, 2).dec(t.second, 2).add("Z-").dec(static_cast<uint64_t>(getpid()));
        if (n > 1) dir.add('-').dec(n);
        if (dir.overflow) return false;
        if (::mkdir(g_reportDir, 0700) == 0) return true;
        if (errno != EEXIST) return false;
    }
    return false;
}

// Copies the attached files' last kMaxFileCopyBytes into files/.
void copyAttachedFiles() {
    const std::size_t count = g_state.fileCount.load(std::memory_order_acquire);
    if (count == 0) return;
    ::mkdir(inReport(crashreport::kFilesFolder), 0700);
    for (std::size_t i = 0; i < count && i < crashreport::kMaxAttachedFiles; ++i) {
        const AttachedFile& f = g_state.files[i];
        g_copied[i] = -1;
        g_sizes[i] = -1;
        // Non-blocking, so that a file replaced by a FIFO cannot stall us.
        const int in = ::open(f.source, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        if (in < 0) continue;
        struct stat info{};
        if (::fstat(in, &info) != 0 || !S_ISREG(info.st_mode)) {
            ::close(in);
            continue;
        }
        g_sizes[i] = info.st_size;
        const uint64_t size = static_cast<uint64_t>(info.st_size);
        const uint64_t start = size > kMaxFileCopyBytes ? size - kMaxFileCopyBytes : 0;
        uint64_t left = size - start;
        if (::lseek(in, static_cast<off_t>(start), SEEK_SET) < 0) {
            ::close(in);
            continue;
        }
        Text dest(g_path, sizeof g_path);
        dest.add(g_reportDir).add('/').add(crashreport::kFilesFolder).add('/').add(f.name);
        const int out = dest.overflow ? -1 : openForWrite(g_path);
        if (out < 0) {
            ::close(in);
            continue;
        }
        int64_t copied = 0;
        while (left > 0) {
            const std::size_t want = left < sizeof g_copy ? static_cast<std::size_t>(left) : sizeof g_copy;
            const ssize_t n = ::read(in, g_copy, want);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            if (!writeAll(out, g_copy, static_cast<std::size_t>(n))) break;
            copied += n;
            left -= static_cast<uint64_t>(n);
        }
        ::close(out);
        ::close(in);
        g_copied[i] = copied;
    }
}

void putTasks(Out& out) {
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
                char line[64];
                Text t(line, sizeof line);
                t.add("task\t").add(name).add('\n');
                out.put(t);
            }
            if (reclen == 0) break;
            pos += reclen;
        }
    }
    ::close(fd);
}

void putRegisters(Out& out, const ucontext_t* uc) {
#if defined(__x86_64__)
    static const char* const kNames[] = {"r8",  "r9",  "r10", "r11", "r12",    "r13",    "r14",
                                         "r15", "rdi", "rsi", "rbp", "rbx",    "rdx",    "rax",
                                         "rcx", "rsp", "rip", "eflags", "csgsfs", "err", "trapno",
                                         "oldmask", "cr2"};
    static_assert(sizeof kNames / sizeof kNames[0] == NGREG);
    for (int i = 0; i < NGREG; ++i) {
        char line[64];
        Text t(line, sizeof line);
        t.add("reg\t").add(kNames[i]).add('\t').hex(static_cast<uint64_t>(uc->uc_mcontext.gregs[i]), 16).add('\n');
        out.put(t);
    }
#else
    (void)out;
    (void)uc;
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

void writeDescription(int sig, const siginfo_t* info, const ucontext_t* uc, const char* cause,
                      const char* exceptionName, const CrashTime& when, pid_t tid) {
    const int fd = openForWrite(inReport(crashreport::kDescriptionFile));
    if (fd < 0) return;
    Out out(fd);
    char line[kUrlBytes + 64];
    auto record = [&](const char* key, const char* value) {
        Text t(line, sizeof line);
        t.add(key).add('\t').add(value).add('\n');
        out.put(t);
    };
    {
        Text t(line, sizeof line);
        t.add("format\t").add(crashreport::kFormatMagic).add('\t').dec(crashreport::kFormatVersion).add('\n');
        out.put(t);
    }
    record("app", g_state.appName);
    record("version", g_state.appVersion);
    record("url", g_state.url);
    record("privacy", g_state.privacyUrl);
    {
        Text t(line, sizeof line);
        t.add("time\t").dec(static_cast<uint64_t>(when.year), 4).add('-').dec(when.month, 2).add('-').dec(when.day, 2);
        t.add('T').dec(when.hour, 2).add(':').dec(when.minute, 2).add(':').dec(when.second, 2).add("Z\n");
        t.add("unixtime\t").sdec(when.unix).add('\n');
        t.add("pid\t").dec(static_cast<uint64_t>(getpid())).add('\n');
        t.add("tid\t").dec(static_cast<uint64_t>(tid)).add('\n');
        out.put(t);
    }
    record("exe", g_state.exePath);
    if (g_state.buildId[0] != '\0') record("buildid", g_state.buildId);
    {
        Text t(line, sizeof line);
        t.add("signal\t").dec(static_cast<uint64_t>(sig)).add('\t').add(signalName(sig)).add('\n');
        t.add("cause\t").add(cause).add('\n');
        const int code = info != nullptr ? info->si_code : 0;
        t.add("code\t").sdec(code).add('\t').add(info != nullptr ? codeName(sig, code) : "-").add('\n');
        t.add("address\t").hex(info != nullptr ? reinterpret_cast<uint64_t>(info->si_addr) : 0, 16).add('\n');
        t.add("flags\t").hex(g_state.flags, 8).add('\n');
        out.put(t);
    }
    if (exceptionName != nullptr) record("exception", exceptionName);
    if (uc != nullptr) putRegisters(out, uc);
    for (std::size_t i = 0; i < g_frameCount; ++i) putFrame(out, "frame", g_frames[i]);
    for (std::size_t i = 0; i < g_scanCount; ++i) putFrame(out, "scan", g_scan[i]);
    putTasks(out);
    const std::size_t count = g_state.fileCount.load(std::memory_order_acquire);
    for (std::size_t i = 0; i < count && i < crashreport::kMaxAttachedFiles; ++i) {
        const AttachedFile& f = g_state.files[i];
        Text t(line, sizeof line);
        t.add("file\t").dec(f.flags).add('\t').sdec(g_copied[i]).add('\t').sdec(g_sizes[i]).add('\t');
        t.add(f.name).add('\t').add(f.description).add('\n');
        out.put(t);
    }
    out.put("end\n", 4);
    out.flush();
    ::close(fd);
    const int mark = openForWrite(inReport(crashreport::kCompleteMark));
    if (mark >= 0) ::close(mark);
}

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
        char* argv[] = {g_state.senderPath, g_reportDir, nullptr};
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
    const CrashTime when = crashTime();
    if (makeReportFolder(when)) {
        uint64_t pc = 0, sp = 0, fp = 0;
        if (uc != nullptr) contextPointers(uc, pc, sp, fp);
        readMaps();
        walkStack(pc, sp, fp);
        copyAttachedFiles();
        writeDescription(sig, info, uc, cause, exceptionName, when, tid);
        startSender();
    }
    endProcess(sig);
}

}  // namespace

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
