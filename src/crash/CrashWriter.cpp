// The report's content, written from the crash path: see CrashWriter.h for
// the rules. Every buffer is static and reserved at load time.
#include "crash/CrashWriter.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "crash/CrashReportFormat.h"
#include "crash/CrashState.h"

namespace crash::detail {
namespace {

using crashreport::kMaxFileCopyBytes;

constexpr std::size_t kCopyBytes = 64 * 1024;

char g_copy[kCopyBytes];
char g_outBuffer[8192];
char g_reportDir[kPathBytes];
char g_path[kPathBytes];
int64_t g_copied[crashreport::kMaxAttachedFiles];
int64_t g_sizes[crashreport::kMaxAttachedFiles];

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

// A buffered record writer for crash.txt.
struct Out {
    FileHandle file;
    std::size_t used = 0;
    explicit Out(FileHandle f) : file(f) {}
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
        writeFile(file, g_outBuffer, used);
        used = 0;
    }
};

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

void putFrame(Out& out, const char* key, const StackFrame& f) {
    char line[kPathBytes + 160];
    Text t(line, sizeof line);
    t.add(key).add('\t').dec(f.index).add('\t').hex(f.address, 16).add('\t');
    if (f.modulePath == nullptr || f.modulePathLength == 0) {
        t.add("0x0\t0x0\t-\n");
        out.put(t);
        return;
    }
    t.hex(f.moduleBase, 1).add('\t').hex(f.address - f.moduleBase, 1).add('\t');
    out.put(t);
    out.put(f.modulePath, f.modulePathLength);
    out.put("\n", 1);
}

void putRegisters(Out& out, const RegisterValue* registers, std::size_t count) {
    for (std::size_t i = 0; i < count && i < kMaxRegisters; ++i) {
        char line[64];
        Text t(line, sizeof line);
        t.add("reg\t").add(registers[i].name).add('\t').hex(registers[i].value, 16).add('\n');
        out.put(t);
    }
}

void putTask(uint64_t threadId, void* context) {
    char line[64];
    Text t(line, sizeof line);
    t.add("task\t").dec(threadId).add('\n');
    static_cast<Out*>(context)->put(t);
}

}  // namespace

CrashTime crashTimeAt(int64_t unixSeconds) {
    CrashTime t{};
    t.unix = unixSeconds;
    int64_t days = unixSeconds / 86400;
    int64_t secs = unixSeconds % 86400;
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

bool makeReportFolder(const CrashTime& when) {
    // The root may have gone since installation: make it again, level by level.
    {
        Text root(g_path, sizeof g_path);
        root.add(g_state.reportsRoot);
        for (std::size_t i = 1; i <= root.length; ++i) {
            if (i == root.length || g_path[i] == '/') {
                const char saved = g_path[i];
                g_path[i] = '\0';
                makeFolder(g_path);
                g_path[i] = saved;
            }
        }
    }
    const uint64_t pid = currentProcessId();
    for (unsigned n = 1; n <= 100; ++n) {
        Text dir(g_reportDir, sizeof g_reportDir);
        dir.add(g_state.reportsRoot).add('/');
        dir.dec(static_cast<uint64_t>(when.year), 4).dec(when.month, 2).dec(when.day, 2).add('T');
        dir.dec(when.hour, 2).dec(when.minute, 2).dec(when.second, 2).add("Z-").dec(pid);
        if (n > 1) dir.add('-').dec(n);
        if (dir.overflow) return false;
        switch (makeFolder(g_reportDir)) {
            case FolderResult::Made: return true;
            case FolderResult::Exists: break;
            case FolderResult::Failed: return false;
        }
    }
    return false;
}

const char* reportFolder() { return g_reportDir; }

FileHandle createReportFile(const char* name) { return createNewFile(inReport(name)); }

void copyAttachedFiles() {
    const std::size_t count = g_state.fileCount.load(std::memory_order_acquire);
    if (count == 0) return;
    makeFolder(inReport(crashreport::kFilesFolder));
    for (std::size_t i = 0; i < count && i < crashreport::kMaxAttachedFiles; ++i) {
        const AttachedFile& f = g_state.files[i];
        g_copied[i] = -1;
        g_sizes[i] = -1;
        int64_t sizeAtCrash = -1;
        const FileHandle in = openFileToCopy(f.source, sizeAtCrash);
        if (in == kNoFile) continue;
        g_sizes[i] = sizeAtCrash;
        const uint64_t size = static_cast<uint64_t>(sizeAtCrash);
        const uint64_t start = size > kMaxFileCopyBytes ? size - kMaxFileCopyBytes : 0;
        uint64_t left = size - start;
        if (!seekFile(in, start)) {
            closeFile(in);
            continue;
        }
        Text dest(g_path, sizeof g_path);
        dest.add(g_reportDir).add('/').add(crashreport::kFilesFolder).add('/').add(f.name);
        const FileHandle out = dest.overflow ? kNoFile : createNewFile(g_path);
        if (out == kNoFile) {
            closeFile(in);
            continue;
        }
        int64_t copied = 0;
        // Bounded by the size at the crash: a file still growing adds nothing.
        while (left > 0) {
            const std::size_t want = left < sizeof g_copy ? static_cast<std::size_t>(left) : sizeof g_copy;
            const int64_t n = readFile(in, g_copy, want);
            if (n <= 0) break;
            if (!writeFile(out, g_copy, static_cast<std::size_t>(n))) break;
            copied += n;
            left -= static_cast<uint64_t>(n);
        }
        closeFile(out);
        closeFile(in);
        g_copied[i] = copied;
    }
}

void writeDescription(const CrashFacts& facts, const CrashTime& when) {
    const FileHandle file = createReportFile(crashreport::kDescriptionFile);
    if (file == kNoFile) return;
    Out out(file);
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
        t.add("pid\t").dec(currentProcessId()).add('\n');
        t.add("tid\t").dec(facts.threadId).add('\n');
        out.put(t);
    }
    record("exe", g_state.exePath);
    if (g_state.buildId[0] != '\0') record("buildid", g_state.buildId);
    {
        Text t(line, sizeof line);
        t.add("signal\t").dec(static_cast<uint64_t>(facts.signal)).add('\t').add(facts.signalName).add('\n');
        t.add("cause\t").add(facts.cause).add('\n');
        t.add("code\t").sdec(facts.code).add('\t').add(facts.codeName).add('\n');
        t.add("address\t").hex(facts.address, 16).add('\n');
        t.add("flags\t").hex(g_state.flags, 8).add('\n');
        out.put(t);
    }
    if (facts.exceptionName != nullptr) record("exception", facts.exceptionName);
    putRegisters(out, facts.registers, facts.registerCount);
    for (std::size_t i = 0; i < facts.frameCount; ++i) putFrame(out, "frame", facts.frames[i]);
    for (std::size_t i = 0; i < facts.scanCount; ++i) putFrame(out, "scan", facts.scan[i]);
    forEachThread(putTask, &out);
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
    closeFile(file);
    const FileHandle mark = createReportFile(crashreport::kCompleteMark);
    if (mark != kNoFile) closeFile(mark);
}

}  // namespace crash::detail
