#include "foundation/Log.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <new>
#include <string>
#include <type_traits>
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
// A day's file stops growing at kLogFileBoundBytes: hundreds of times what a
// day of ordinary runs writes, and with seven files kept the folder stays
// near 112 MiB whatever a server or a package makes the program say. The
// last kStopLineRoom bytes are kept for the line that says so.
constexpr uint64_t kStopLineRoom = 256;
static_assert(kLogFileBoundBytes == 16777216ull, "kLogStoppedMessage names the bound");

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
        // An earlier run filled the file and ended it with the stop line.
        uint64_t size = 0;
        m_stopped = m_hLogFile.size(size) && isFull(size);
        return true;
    }

    // One write of the whole line on an O_APPEND handle: the kernel places
    // it at the end and keeps it whole, across threads and processes. The
    // size check and the write are one step within the process, so threads
    // cannot together pass the bound; another process writing the same file
    // can pass it by the lines it writes between our check and our write,
    // and each process that finds the file filling up writes a stop line.
    bool writeLine(const char* message, std::size_t length) {
        char line[kBufferSize];
        const std::size_t total = formatLine(line, message, length);
        if (total == 0) return false;
        std::lock_guard<std::mutex> lock(m_writeLock);
        if (m_stopped) return false;
        uint64_t size = 0;
        if (m_hLogFile.size(size) && isFull(size)) {
            m_stopped = true;
            const std::size_t stop = formatLine(line, kLogStoppedMessage, std::strlen(kLogStoppedMessage));
            if (stop != 0) m_hLogFile.write(line, stop);
            return false;
        }
        return m_hLogFile.write(line, total);
    }

    const wchar_t* path() const { return m_szLogPath; }

private:
    // Full: the longest line would leave no room for the stop line. Judged
    // by the size alone, whatever the next line's length, so that a run
    // that finds the file full adds nothing to it.
    static bool isFull(uint64_t size) { return size + kBufferSize > kLogFileBoundBytes - kStopLineRoom; }

    // The line's bytes in `line` (kBufferSize bytes); 0 when it cannot be made.
    std::size_t formatLine(char* line, const char* message, std::size_t length) const {
        const platform::LocalTime t = platform::localTimeNow();
        const int prefix = std::snprintf(
            line, kBufferSize, "%04hu-%02hu-%02hu_%02hu:%02hu:%02hu:%03hu [GameLauncher:%lu] ", t.year, t.month, t.day,
            t.hour, t.minute, t.second, t.milliseconds, static_cast<unsigned long>(m_dwProcessId));
        if (prefix < 0) return 0;
        const std::size_t room = (kBufferSize - 1) - static_cast<std::size_t>(prefix) - 2;
        const std::size_t take = platform::utf8PrefixLength(std::string_view(message, length), room);
        std::memcpy(line + prefix, message, take);
        std::size_t total = static_cast<std::size_t>(prefix) + take;
        line[total++] = '\r';
        line[total++] = '\n';
        return total;
    }

    wchar_t m_szLogPath[kMaxPathChars] = {};
    platform::File m_hLogFile;
    uint32_t m_dwProcessId = 0;
    std::mutex m_writeLock;
    // The file reached its bound: this logger writes nothing more. A new
    // logger (the next run, or the next day's file) checks afresh.
    bool m_stopped = false;
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

// Text from outside (a server's reply, a package, a file, a path) reaches the
// log as the text arguments of a format; a CR or LF in it would end our line
// and start one that only looks like ours. Control characters in those
// arguments are written as \r, \n, \t or \xNN; the format's own characters
// are the program's and stay as they are (an exit line ends in blank lines
// on purpose). A backslash stays as it is: Windows paths are full of them
// and escaping it would change every line that names a file; an escape-like
// sequence may then come from the text itself, but no text can end a line.
bool isControl(wchar_t c) {
    // wchar_t is signed on Linux and unsigned on Windows.
    const auto code = static_cast<std::uint32_t>(c);
    return code < 0x20 || code == 0x7F;
}

template <typename Char>
void appendEscaped(std::basic_string<Char>& out, const Char* text, std::size_t length) {
    static constexpr char kHex[] = "0123456789abcdef";
    for (std::size_t i = 0; i < length; ++i) {
        const Char c = text[i];
        const auto code = static_cast<wchar_t>(static_cast<std::make_unsigned_t<Char>>(c));
        if (!isControl(code)) {
            out.push_back(c);
            continue;
        }
        out.push_back(Char('\\'));
        if (code == L'\r') {
            out.push_back(Char('r'));
        } else if (code == L'\n') {
            out.push_back(Char('n'));
        } else if (code == L'\t') {
            out.push_back(Char('t'));
        } else {
            out.push_back(Char('x'));
            out.push_back(Char(kHex[(code >> 4) & 0xF]));
            out.push_back(Char(kHex[code & 0xF]));
        }
    }
}

// One conversion with its one argument into `out`, cut at `size` - 1
// characters; the count written.
template <typename T>
std::size_t formatOne(char* out, std::size_t size, const char* conversion, T value) {
    const int n = std::snprintf(out, size, conversion, value);
    if (n < 0) return 0;
    return std::min(static_cast<std::size_t>(n), size - 1);
}

template <typename T>
std::size_t formatOne(wchar_t* out, std::size_t size, const wchar_t* conversion, T value) {
    // On overflow the C library reports -1 but has filled the buffer
    // without a terminator: the cut text is what stands there.
    out[0] = L'\0';
    const int n = std::swprintf(out, size, conversion, value);
    if (n >= 0) return static_cast<std::size_t>(n);
    out[size - 1] = L'\0';
    return std::wcslen(out);
}

// A text argument of the other width is converted here, with the program's
// own narrow encoding (the ANSI code page), and handed on at the format's
// width: the C libraries would convert it by their locale instead, which
// fails on anything but ASCII in the C locale of a POSIX program and reads
// differently in each Windows C runtime. A null argument is left to the
// library, which writes "(null)" either way.
std::size_t formatNarrowText(char* out, std::size_t size, const std::string& conversion, const char* value) {
    return formatOne(out, size, conversion.c_str(), value);
}

std::size_t formatNarrowText(wchar_t* out, std::size_t size, std::wstring conversion, const char* value) {
    if (value == nullptr) return formatOne(out, size, conversion.c_str(), value);
    conversion.insert(conversion.size() - 1, 1, L'l');
    return formatOne(out, size, conversion.c_str(), platform::ansiToWide(value).c_str());
}

std::size_t formatWideText(char* out, std::size_t size, std::string conversion, const wchar_t* value) {
    if (value == nullptr) return formatOne(out, size, conversion.c_str(), value);
    conversion.erase(conversion.size() - 2, 1);  // the 'l' before the 's'
    return formatOne(out, size, conversion.c_str(), platform::wideToAnsi(value).c_str());
}

std::size_t formatWideText(wchar_t* out, std::size_t size, const std::wstring& conversion, const wchar_t* value) {
    return formatOne(out, size, conversion.c_str(), value);
}

std::size_t formatNarrowChar(char* out, std::size_t size, const std::string& conversion, char value) {
    return formatOne(out, size, conversion.c_str(), static_cast<int>(value));
}

std::size_t formatNarrowChar(wchar_t* out, std::size_t size, std::wstring conversion, char value) {
    const std::wstring wide = platform::ansiToWide(std::string_view(&value, 1));
    conversion.insert(conversion.size() - 1, 1, L'l');
    return formatOne(out, size, conversion.c_str(), static_cast<wint_t>(wide.empty() ? L'?' : wide[0]));
}

std::size_t formatWideChar(char* out, std::size_t size, std::string conversion, wchar_t value) {
    // One wide character may take several narrow bytes: it goes on as a text.
    conversion.resize(conversion.size() - 2);
    conversion += "s";
    return formatOne(out, size, conversion.c_str(), platform::wideToAnsi(std::wstring_view(&value, 1)).c_str());
}

std::size_t formatWideChar(wchar_t* out, std::size_t size, const std::wstring& conversion, wchar_t value) {
    return formatOne(out, size, conversion.c_str(), static_cast<wint_t>(value));
}

// Formats with the C library's printf rules (for wide formats the rules of
// swprintf: "%s" a narrow text, "%ls" a wide one), one conversion at a time
// so that the text arguments can be escaped; appends to `out` until it holds
// `limit` characters. "%n" stores nothing.
template <typename Char>
void formatEscaped(std::basic_string<Char>& out, std::size_t limit, const Char* format, va_list args) {
    static constexpr std::size_t kPieceChars = 2 * kBufferSize;
    Char piece[kPieceChars];
    const Char* p = format;
    while (*p != Char('\0') && out.size() < limit) {
        if (*p != Char('%')) {
            out.push_back(*p++);
            continue;
        }
        if (p[1] == Char('%')) {
            out.push_back(Char('%'));
            p += 2;
            continue;
        }
        // The conversion's text, with any "*" replaced by its argument.
        std::basic_string<Char> conversion(1, Char('%'));
        ++p;
        auto isIn = [](Char c, const char* set) {
            for (; *set != '\0'; ++set) {
                if (c == Char(*set)) return true;
            }
            return false;
        };
        auto takeNumber = [&] {
            if (*p == Char('*')) {
                const int n = va_arg(args, int);
                for (char c : std::to_string(n)) conversion.push_back(Char(c));
                ++p;
                return;
            }
            while (*p >= Char('0') && *p <= Char('9')) conversion.push_back(*p++);
        };
        while (*p != Char('\0') && isIn(*p, "-+ #0'")) conversion.push_back(*p++);
        takeNumber();
        if (*p == Char('.')) {
            conversion.push_back(*p++);
            takeNumber();
        }
        std::string length;
        while (*p != Char('\0') && isIn(*p, "hlLqjzt")) {
            length.push_back(static_cast<char>(*p));
            conversion.push_back(*p++);
        }
        const Char conv = *p;
        if (conv == Char('\0')) break;
        conversion.push_back(*p++);
        const Char* s = conversion.c_str();
        std::size_t n = 0;
        bool text = false;
        const bool longDouble = length == "L";
        const bool isLong = length == "l";
        const bool isLongLong = length == "ll" || length == "q";
        if (isIn(conv, "di")) {
            if (isLongLong) n = formatOne(piece, kPieceChars, s, va_arg(args, long long));
            else if (isLong) n = formatOne(piece, kPieceChars, s, va_arg(args, long));
            else if (length == "j") n = formatOne(piece, kPieceChars, s, va_arg(args, intmax_t));
            else if (length == "z") n = formatOne(piece, kPieceChars, s, va_arg(args, std::make_signed_t<std::size_t>));
            else if (length == "t") n = formatOne(piece, kPieceChars, s, va_arg(args, std::ptrdiff_t));
            else n = formatOne(piece, kPieceChars, s, va_arg(args, int));
        } else if (isIn(conv, "uoxX")) {
            if (isLongLong) n = formatOne(piece, kPieceChars, s, va_arg(args, unsigned long long));
            else if (isLong) n = formatOne(piece, kPieceChars, s, va_arg(args, unsigned long));
            else if (length == "j") n = formatOne(piece, kPieceChars, s, va_arg(args, uintmax_t));
            else if (length == "z") n = formatOne(piece, kPieceChars, s, va_arg(args, std::size_t));
            else if (length == "t") n = formatOne(piece, kPieceChars, s, va_arg(args, std::make_unsigned_t<std::ptrdiff_t>));
            else n = formatOne(piece, kPieceChars, s, va_arg(args, unsigned));
        } else if (isIn(conv, "fFeEgGaA")) {
            if (longDouble) n = formatOne(piece, kPieceChars, s, va_arg(args, long double));
            else n = formatOne(piece, kPieceChars, s, va_arg(args, double));
        } else if (conv == Char('c')) {
            text = true;
            // wint_t is narrower than int on Windows and arrives promoted.
            using PromotedWint = std::conditional_t<(sizeof(wint_t) < sizeof(int)), int, wint_t>;
            if (isLong) n = formatWideChar(piece, kPieceChars, conversion, static_cast<wchar_t>(va_arg(args, PromotedWint)));
            else n = formatNarrowChar(piece, kPieceChars, conversion, static_cast<char>(va_arg(args, int)));
        } else if (conv == Char('s')) {
            text = true;
            if (isLong) n = formatWideText(piece, kPieceChars, conversion, va_arg(args, const wchar_t*));
            else n = formatNarrowText(piece, kPieceChars, conversion, va_arg(args, const char*));
        } else if (conv == Char('p')) {
            n = formatOne(piece, kPieceChars, s, va_arg(args, void*));
        } else if (conv == Char('n')) {
            (void)va_arg(args, void*);
        } else {
            // Not a conversion the C library knows: its text as it stands.
            out += conversion;
            continue;
        }
        if (text) {
            appendEscaped(out, piece, n);
        } else {
            out.append(piece, n);
        }
    }
    if (out.size() > limit) out.resize(limit);
}

// `prefix` (may be empty) is written before the formatted message.
int vLogNarrow(const char* prefix, const char* format, va_list args) {
    if (GetLogger() == nullptr || format == nullptr) return 0;
    // Twice the bound, so that the cut at 4,095 bytes sees the character
    // that straddles it whole and drops it rather than split it.
    std::string message(prefix, std::min(std::strlen(prefix), kBufferSize));
    formatEscaped(message, 2 * kBufferSize - 1, format, args);
    return writeNarrow(message);
}

int vLogWide(const wchar_t* prefix, const wchar_t* format, va_list args) {
    if (GetLogger() == nullptr || format == nullptr) return 0;
    std::wstring message(prefix, std::min(std::wcslen(prefix), kBufferSize - 1));
    formatEscaped(message, kBufferSize - 1, toLibcWideFormat(format).c_str(), args);
    return writeNarrow(platform::wideToAnsi(message));
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
    // The service client's messages carry what its servers sent; the whole
    // text is one line, so nothing in it may end one.
    std::wstring line;
    appendEscaped(line, text, std::wcslen(text));
    return writeNarrow(platform::wideToAnsi(line));
}

const wchar_t* GetLogFilePath() {
    Logger* logger = GetLogger();
    return logger != nullptr ? logger->path() : nullptr;
}

void ReleaseLogger() {
    std::lock_guard<std::mutex> lock(g_loggerLifetime);
    delete g_logger.exchange(nullptr, std::memory_order_acq_rel);
}
