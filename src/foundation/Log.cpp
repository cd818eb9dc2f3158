#include "foundation/Log.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "foundation/SystemUtil.h"
#include "platform/clock.h"
#include "platform/debug_output.h"
#include "platform/file.h"
#include "platform/folders.h"
#include "platform/process.h"
#include "platform/text.h"

namespace {

constexpr std::size_t kBufferSize = 4096;
constexpr std::size_t kKeptLogs = 7;
constexpr const wchar_t* kLogPrefix = L"log_glauncher_";

struct LogFileEntry {
    uint64_t lastWriteSeconds;
    std::wstring name;
};

void removeOldLogs(const std::wstring& folder, const std::wstring& suffix) {
    std::vector<platform::DirEntry> listed;
    if (!platform::listDirectory(folder, suffix, listed)) {
        platform::debugOutput("FindFirstFileW failed \n");
        return;
    }
    if (listed.empty()) {
        // The Windows listing fails outright when nothing matches.
        platform::debugOutput("FindFirstFileW failed \n");
        return;
    }
    std::vector<LogFileEntry> entries;
    for (auto& e : listed) {
        if (e.isDirectory) {
            platform::debugOutput("this is a directory so do noting just continue \n");
            continue;
        }
        // A link or other special file named like a log is not one of ours:
        // counting it would let it push out a real log, and deleting it
        // would act on whatever it was put there for.
        if (!e.isRegularFile) continue;
        entries.push_back({e.lastWriteSeconds, std::move(e.name)});
    }
    platform::debugOutput("all file has been list \n");
    if (entries.size() <= kKeptLogs) return;
    std::stable_sort(entries.begin(), entries.end(), [](const LogFileEntry& a, const LogFileEntry& b) {
        return a.lastWriteSeconds < b.lastWriteSeconds;
    });
    const std::size_t doomed = entries.size() - kKeptLogs;
    for (std::size_t i = 0; i < doomed; ++i) {
        std::wstring path;
        if (!JoinPath(path, {folder, entries[i].name}, kMaxPathChars)) continue;
        platform::setFileAttributesNormal(path);
        platform::deleteFile(path);
    }
}

class Logger {
public:
    bool openLogFile() {
        const platform::LocalTime now = platform::localTimeNow();
        std::wstring appData;
        if (!platform::roamingAppDataFolder(appData)) return false;
        std::wstring folder;
        if (!JoinPath(folder, {appData, kProductFolder, L"GameLauncher/"}, kMaxPathChars)) return false;
        CreateFolderPath(folder.c_str());
        removeOldLogs(folder, L".log");
        wchar_t name[64];
        std::swprintf(name, 64, L"%ls%04hu%02hu%02hu.log", kLogPrefix, now.year, now.month, now.day);
        std::wstring path;
        if (!JoinPath(path, {folder, name}, kMaxPathChars)) return false;
        std::wmemcpy(m_szLogPath, path.c_str(), path.size() + 1);
        if (!m_hLogFile.open(path, platform::File::Access::ReadWrite, platform::File::Disposition::OpenAlways,
                             /*append=*/true)) {
            return false;
        }
        m_dwProcessId = platform::currentProcessId();
        return true;
    }

    // One write of the whole line on an O_APPEND handle: the kernel places
    // it at the end and keeps it whole, across threads and processes.
    bool writeLine(const char* message, std::size_t length) {
        const platform::LocalTime t = platform::localTimeNow();
        char line[kBufferSize];
        const int prefix = std::snprintf(
            line, sizeof line, "%04hu-%02hu-%02hu_%02hu:%02hu:%02hu:%03hu [GameLauncher:%lu] ", t.year, t.month, t.day,
            t.hour, t.minute, t.second, t.milliseconds, static_cast<unsigned long>(m_dwProcessId));
        if (prefix < 0) return false;
        const std::size_t room = (kBufferSize - 1) - static_cast<std::size_t>(prefix) - 2;
        const std::size_t take = platform::utf8PrefixLength(std::string_view(message, length), room);
        std::memcpy(line + prefix, message, take);
        std::size_t total = static_cast<std::size_t>(prefix) + take;
        line[total++] = '\r';
        line[total++] = '\n';
        return m_hLogFile.write(line, total);
    }

    const wchar_t* path() const { return m_szLogPath; }

private:
    wchar_t m_szLogPath[kMaxPathChars] = {};
    platform::File m_hLogFile;
    uint32_t m_dwProcessId = 0;
};

std::atomic<Logger*> g_logger{nullptr};
std::mutex g_loggerLifetime;

Logger* GetLogger() {
    if (Logger* l = g_logger.load(std::memory_order_acquire)) return l;
    std::lock_guard<std::mutex> lock(g_loggerLifetime);
    if (Logger* l = g_logger.load(std::memory_order_acquire)) return l;
    auto* logger = new (std::nothrow) Logger();
    if (logger == nullptr) return nullptr;
    if (!logger->openLogFile()) {
        delete logger;
        return nullptr;
    }
    g_logger.store(logger, std::memory_order_release);
    return logger;
}

int writeNarrow(const std::string& text) {
    Logger* logger = GetLogger();
    if (logger == nullptr) return 0;
    const std::size_t length = platform::utf8PrefixLength(text, kBufferSize - 1);
    return logger->writeLine(text.data(), length) ? 1 : 0;
}

// Rewrites a format written with the Windows wide-printf conventions for the
// C library's: there "%s" in a wide format is a wide string, here it is a
// narrow one.
std::wstring toLibcWideFormat(const wchar_t* format) {
    std::wstring out;
    out.reserve(std::wcslen(format) + 8);
    const wchar_t* p = format;
    while (*p != L'\0') {
        if (*p != L'%') {
            out.push_back(*p++);
            continue;
        }
        out.push_back(*p++);
        if (*p == L'%') {
            out.push_back(*p++);
            continue;
        }
        while (*p != L'\0' && std::wcschr(L"-+ #0", *p) != nullptr) out.push_back(*p++);
        while (*p != L'\0' && (*p == L'*' || (*p >= L'0' && *p <= L'9'))) out.push_back(*p++);
        if (*p == L'.') {
            out.push_back(*p++);
            while (*p != L'\0' && (*p == L'*' || (*p >= L'0' && *p <= L'9'))) out.push_back(*p++);
        }
        std::wstring length;
        while (*p != L'\0' && std::wcschr(L"hlLqjztwI", *p) != nullptr) {
            if (*p == L'I' && p[1] == L'6' && p[2] == L'4') {
                length += L"ll";
                p += 3;
            } else {
                length.push_back(*p++);
            }
        }
        const wchar_t conv = *p;
        if (conv == L'\0') break;
        ++p;
        if (conv == L's' || conv == L'c' || conv == L'S' || conv == L'C') {
            const bool narrow = length == L"h" || ((conv == L'S' || conv == L'C') && length.empty());
            out += narrow ? L"" : L"l";
            out.push_back(conv == L'S' ? L's' : conv == L'C' ? L'c' : conv);
        } else {
            if (length == L"w") length = L"l";
            out += length;
            out.push_back(conv);
        }
    }
    return out;
}

}  // namespace

namespace {

// `prefix` (may be empty) is written before the formatted message.
int vLogNarrow(const char* prefix, const char* format, va_list args) {
    if (GetLogger() == nullptr || format == nullptr) return 0;
    // Twice the bound, so that the cut at 4,095 bytes sees the character
    // that straddles it whole and drops it rather than split it.
    char message[2 * kBufferSize];
    const std::size_t head = std::min(std::strlen(prefix), kBufferSize);
    std::memcpy(message, prefix, head);
    const int n = std::vsnprintf(message + head, sizeof message - head, format, args);
    if (n < 0) return 0;
    const std::size_t length = std::min(head + static_cast<std::size_t>(n), sizeof message - 1);
    return writeNarrow(std::string(message, length));
}

int vLogWide(const wchar_t* prefix, const wchar_t* format, va_list args) {
    if (GetLogger() == nullptr || format == nullptr) return 0;
    wchar_t message[kBufferSize];
    std::wmemset(message, L'\0', kBufferSize);
    const std::size_t head = std::min(std::wcslen(prefix), kBufferSize - 1);
    std::wmemcpy(message, prefix, head);
    const std::wstring libcFormat = toLibcWideFormat(format);
    // On overflow the C library reports -1 but has filled the buffer
    // without a terminator: the cut message is what stands there.
    std::vswprintf(message + head, kBufferSize - head, libcFormat.c_str(), args);
    message[kBufferSize - 1] = L'\0';
    return writeNarrow(platform::wideToUtf8(message));
}

}  // namespace

int LogPrint(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int written = vLogNarrow("", format, args);
    va_end(args);
    return written;
}

int LogPrintW(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const int written = vLogWide(L"", format, args);
    va_end(args);
    return written;
}

int ModuleLog::operator()(int number, const char* format, ...) const {
    char prefix[128];
    std::snprintf(prefix, sizeof prefix, "[%s:%d]", m_tag, number);
    va_list args;
    va_start(args, format);
    const int written = vLogNarrow(prefix, format, args);
    va_end(args);
    return written;
}

int ModuleLog::wide(int number, const wchar_t* format, ...) const {
    wchar_t prefix[128];
    std::swprintf(prefix, 128, L"[%ls:%d]", m_wideTag, number);
    va_list args;
    va_start(args, format);
    const int written = vLogWide(prefix, format, args);
    va_end(args);
    return written;
}

int LogServiceError(const wchar_t* text) {
    if (text == nullptr) return 0;
    return writeNarrow(platform::wideToUtf8(text));
}

const wchar_t* GetLogFilePath() {
    Logger* logger = GetLogger();
    return logger != nullptr ? logger->path() : nullptr;
}

void ReleaseLogger() {
    std::lock_guard<std::mutex> lock(g_loggerLifetime);
    delete g_logger.exchange(nullptr, std::memory_order_acq_rel);
}
