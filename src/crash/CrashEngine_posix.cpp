// Installation side of the engine: everything here runs outside the crash
// and may allocate; it prepares CrashState for the crash path.
#include "crash/CrashEngine.h"

#include <elf.h>
#include <link.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>

#include "crash/CrashState.h"
#include "foundation/SystemUtil.h"
#include "platform/folders.h"
#include "platform/path.h"
#include "platform/process.h"
#include "platform/text.h"

namespace crash::detail {

EngineState g_state;
const int kSignals[kSignalCount] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP, SIGSYS};

}  // namespace crash::detail

namespace crash {
namespace {

using detail::g_state;
using detail::storeField;
using detail::storeWide;
using detail::kSignalCount;
using detail::kSignals;

// The running program's GNU build id, as lower-case hex, from its own
// PT_NOTE segments in memory: the sender compares it with the file on disk.
// Empty when the program has none (or one longer than 64 bytes).
int findBuildId(dl_phdr_info* info, size_t, void* data) {
    auto* out = static_cast<std::string*>(data);
    // The first object reported is the program itself.
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_NOTE) continue;
        const auto* p = reinterpret_cast<const unsigned char*>(info->dlpi_addr + ph.p_vaddr);
        const unsigned char* end = p + ph.p_memsz;
        while (p + sizeof(ElfW(Nhdr)) <= end) {
            const auto* note = reinterpret_cast<const ElfW(Nhdr)*>(p);
            const unsigned char* name = p + sizeof(ElfW(Nhdr));
            const unsigned char* desc = name + ((note->n_namesz + 3u) & ~3u);
            const unsigned char* next = desc + ((note->n_descsz + 3u) & ~3u);
            if (next > end) break;
            if (note->n_type == NT_GNU_BUILD_ID && note->n_namesz == 4 && std::memcmp(name, "GNU", 4) == 0 &&
                note->n_descsz <= 64) {
                static const char kHex[] = "0123456789abcdef";
                for (ElfW(Word) k = 0; k < note->n_descsz; ++k) {
                    out->push_back(kHex[desc[k] >> 4]);
                    out->push_back(kHex[desc[k] & 0xF]);
                }
                return 1;
            }
            p = next;
        }
    }
    return 1;
}

// Enough for the handler's own frames and the formatting it does on the
// stack; the big buffers of the crash path are static.
constexpr std::size_t kAltStackBytes = 128 * 1024;

std::atomic<bool> g_installed{false};
// Per thread, like the system's last error: worker threads fail their own calls.
thread_local std::wstring g_lastError;
struct sigaction g_previous[kSignalCount];
std::terminate_handler g_previousTerminate = nullptr;

// The calling thread's alternate stack. Kept mapped between an uninstall and
// the next install on the same thread (timer callbacks install on every
// tick) and unmapped when the thread ends.
struct ThreadAltStack {
    void* memory = nullptr;
    int depth = 0;
    stack_t previous{};
    ~ThreadAltStack() {
        if (memory == nullptr) return;
        if (depth > 0) sigaltstack(&previous, nullptr);
        munmap(memory, kAltStackBytes + static_cast<std::size_t>(sysconf(_SC_PAGESIZE)));
    }
};
thread_local ThreadAltStack t_altStack;

int32_t fail(std::wstring text) {
    g_lastError = std::move(text);
    return kFailed;
}

std::wstring errnoText(int code) { return platform::utf8ToWide(std::strerror(code)); }

// Paths are stored as they are: they go to system calls, not into records.
bool storeRaw(char* out, std::size_t capacity, std::string_view text) {
    if (text.size() >= capacity || text.find('\0') != std::string_view::npos) return false;
    std::memcpy(out, text.data(), text.size());
    out[text.size()] = '\0';
    return true;
}

// "/opt/game/./" -> "/opt/game": a "." segment (the program passes ".\"
// for its own folder) means the folder itself.
std::string normaliseFolder(const std::string& path) {
    std::string out;
    std::size_t i = 0;
    while (i < path.size()) {
        const std::size_t next = path.find('/', i);
        const std::size_t end = next == std::string::npos ? path.size() : next;
        const std::string_view part(path.data() + i, end - i);
        if (!part.empty() && part != ".") {
            out += '/';
            out += part;
        }
        i = end + 1;
    }
    if (!path.empty() && path[0] != '/' && !out.empty()) out.erase(0, 1);
    if (out.empty()) out.assign(1, path.empty() || path[0] != '/' ? '.' : '/');
    return out;
}

bool pushAltStack() {
    ThreadAltStack& s = t_altStack;
    if (s.depth > 0) {
        ++s.depth;
        return true;
    }
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    if (s.memory == nullptr) {
        // One guard page below, so an overflow of the handler itself faults
        // instead of writing into whatever lies beneath.
        void* m = mmap(nullptr, kAltStackBytes + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (m == MAP_FAILED) return false;
        mprotect(m, page, PROT_NONE);
        s.memory = m;
    }
    stack_t ss{};
    ss.ss_sp = static_cast<char*>(s.memory) + page;
    ss.ss_size = kAltStackBytes;
    ss.ss_flags = 0;
    if (sigaltstack(&ss, &s.previous) != 0) return false;
    s.depth = 1;
    return true;
}

bool popAltStack() {
    ThreadAltStack& s = t_altStack;
    if (s.depth == 0) return false;
    if (--s.depth > 0) return true;
    // The stack of a sanitizer or of whoever installed one before us comes
    // back; a thread that had none gets none.
    stack_t restore = s.previous;
    if ((restore.ss_flags & SS_DISABLE) != 0 || restore.ss_sp == nullptr) {
        restore = stack_t{};
        restore.ss_flags = SS_DISABLE;
    }
    sigaltstack(&restore, nullptr);
    return true;
}

void signalEntry(int sig, siginfo_t* info, void* context) { detail::onCrashSignal(sig, info, context); }

}  // namespace

int32_t install(const InstallRecord* record) {
    if (g_installed.load()) return fail(L"crash reporting is already installed");
    if (const wchar_t* refused = detail::takeInstallRecord(record)) return fail(refused);
    detail::EngineState& st = g_state;

    const std::string folder = normaliseFolder(platform::toSystemPath(record->senderFolder));
    const std::string sender = (folder == "/" ? std::string() : folder) + "/" + crashreport::kSenderName;
    struct stat info{};
    if (::stat(sender.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return fail(L"crash sender not found: " + platform::utf8ToWide(sender));
    if (::access(sender.c_str(), X_OK) != 0)
        return fail(L"crash sender is not executable: " + platform::utf8ToWide(sender));
    if (!storeRaw(st.senderPath, sizeof st.senderPath, sender)) return fail(L"sender path too long");

    std::wstring exe;
    if (!platform::moduleFileName(exe) || !storeWide(st.exePath, sizeof st.exePath, exe.c_str()))
        st.exePath[0] = '\0';
    std::string buildId;
    dl_iterate_phdr(findBuildId, &buildId);
    if (!storeRaw(st.buildId, sizeof st.buildId, buildId)) st.buildId[0] = '\0';

    std::wstring roaming;
    if (!platform::roamingAppDataFolder(roaming)) {
        return fail(L"no application-data folder for crash reports: " + errnoText(errno));
    }
    const std::string root =
        platform::toSystemPath(roaming + kProductFolder + platform::utf8ToWide(crashreport::kReportsSubfolder));
    CreateFolderPath(platform::utf8ToWide(root).c_str());
    if (::stat(root.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        return fail(L"cannot create the crash report folder " + platform::utf8ToWide(root) + L": " + errnoText(errno));
    // Reports hold the log and the memory layout of the process: keep them
    // the user's own.
    ::chmod(root.c_str(), 0700);
    std::string trimmed = root;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    if (!storeRaw(st.reportsRoot, sizeof st.reportsRoot, trimmed)) return fail(L"crash report folder path too long");

    if (!pushAltStack()) return fail(L"cannot set up the alternate signal stack: " + errnoText(errno));

    detail::resetCrashGuard();
    const bool handlers = (record->flags & kFlagAllHandlers) != 0;
    if (handlers) {
        struct sigaction action{};
        action.sa_sigaction = signalEntry;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&action.sa_mask);
        for (int i = 0; i < kSignalCount; ++i) sigaction(kSignals[i], &action, &g_previous[i]);
        g_previousTerminate = std::set_terminate(detail::onTerminate);
    }
    g_installed.store(true, std::memory_order_release);
    return kOk;
}

int32_t uninstall() {
    if (!g_installed.load()) return fail(L"crash reporting is not installed");
    if ((g_state.flags & kFlagAllHandlers) != 0) {
        for (int i = 0; i < kSignalCount; ++i) sigaction(kSignals[i], &g_previous[i], nullptr);
        std::set_terminate(g_previousTerminate);
    }
    // The install pushed one level of this thread's alternate stack.
    popAltStack();
    g_state.fileCount.store(0, std::memory_order_release);
    g_installed.store(false, std::memory_order_release);
    return kOk;
}

bool isInstalled() { return g_installed.load(std::memory_order_acquire); }

int32_t installThreadHandlers(uint32_t /*flags: 0 and every handler bit mean the one set*/) {
    if (!isInstalled()) return fail(L"crash reporting is not installed");
    if (!pushAltStack()) return fail(L"cannot set up the alternate signal stack: " + errnoText(errno));
    return kOk;
}

int32_t uninstallThreadHandlers() {
    if (!isInstalled()) return fail(L"crash reporting is not installed");
    if (!popAltStack()) return fail(L"no crash handlers on this thread");
    return kOk;
}

int32_t addFile(const wchar_t* path, const wchar_t* destName, const wchar_t* description, uint32_t flags) {
    if (!isInstalled()) return fail(L"crash reporting is not installed");
    if (path == nullptr || path[0] == L'\0') return fail(L"file path missing");
    const std::string source = platform::toSystemPath(path);
    struct stat info{};
    if (::stat(source.c_str(), &info) != 0) return fail(L"file not found: " + std::wstring(path));
    if (!S_ISREG(info.st_mode)) return fail(L"not a regular file: " + std::wstring(path));

    std::string name;
    if (destName != nullptr && destName[0] != L'\0') {
        name = platform::wideToUtf8(destName);
    } else {
        const std::size_t slash = source.find_last_of('/');
        name = slash == std::string::npos ? source : source.substr(slash + 1);
    }
    // The name becomes a file of the report folder: nothing that leaves it.
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
        return fail(L"unusable file name in the report: " + platform::utf8ToWide(name));

    detail::EngineState& st = g_state;
    const std::size_t count = st.fileCount.load(std::memory_order_relaxed);
    for (std::size_t i = 0; i < count; ++i)
        if (name == st.files[i].name) return fail(L"a file of that name is attached already: " + platform::utf8ToWide(name));
    if (count >= crashreport::kMaxAttachedFiles) return fail(L"too many attached files");
    detail::AttachedFile& f = st.files[count];
    if (!storeRaw(f.source, sizeof f.source, source) || !storeField(f.name, sizeof f.name, name) ||
        !storeWide(f.description, sizeof f.description, description))
        return fail(L"attached file path, name or description too long");
    f.flags = flags;
    st.fileCount.store(count + 1, std::memory_order_release);
    return kOk;
}

std::wstring lastErrorText() { return g_lastError; }

std::string reportsRoot() { return isInstalled() ? std::string(g_state.reportsRoot) : std::string(); }

}  // namespace crash
