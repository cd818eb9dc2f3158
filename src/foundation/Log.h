// The daily log: one process-wide logger, created by the first log call and
// destroyed by ReleaseLogger. Lines look like
//   2026-12-10_01:46:29:123 [GameLauncher:4242] [Loader:101]message\r\n
// and go to log_glauncher_YYYYMMDD.log under the roaming application-data
// folder + "/Keltora/morvel3/GameLauncher/"; the seven most recently written
// ".log" files there are kept.
//
// Threads: the writing entry points may be called from any thread at once;
// each line is appended whole with one write to an append-only handle, so
// lines from threads and from other processes writing the same daily file
// never interleave. The first call and ReleaseLogger are made while no other
// thread logs (start-up and shutdown).
//
// Bounds: a formatted message is at most 4,095 bytes (narrow) or 4,095 wide
// characters, and a whole line at most 4,095 bytes including its prefix and
// its CR LF. A longer message is cut at the bound, never inside a UTF-8
// character, and the line keeps its CR LF. A day's file grows to at most
// kLogFileBoundBytes: once a longest line and the stop line would no longer
// both fit, the line kLogStoppedMessage is written instead and that logger
// writes nothing more; a later run that finds the file full writes nothing
// at all. A process that runs past midnight keeps its file, so it stays
// silent; the next run on another day starts a new file. Another process
// writing the same file at once can pass the bound by the lines it writes
// meanwhile (and by its own stop line).
//
// Outside text: control characters (below 0x20, and 0x7F) in the text
// arguments of a format ("%s", "%c" and their wide forms), and anywhere in
// LogServiceError's text, are written as \r, \n, \t or \xNN (two lowercase
// hex digits), so no text can end a line or start one of its own; the
// format's own characters are written as they stand.
#pragma once

#include <cstdint>

inline constexpr uint64_t kLogFileBoundBytes = 16ull * 1024 * 1024;
inline constexpr const char* kLogStoppedMessage =
    "Logging stopped for the day: the log file reached its bound of 16777216 bytes";

// Formats with the C99 printf rules ("%zu", "%lld", "%hhd"...) on every
// system, so the compiler checks them as such: g++ calls those rules
// "gnu_printf" (its plain "printf" means the Microsoft runtime's older rules
// in a Windows build); clang knows only "printf", with the C99 rules.
#if defined(__clang__)
#define GL_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#else
#define GL_PRINTF_FORMAT(f, a) __attribute__((format(gnu_printf, f, a)))
#endif

// Returns non-zero when the line was written, 0 when there is no log file,
// the file is full or the write failed.
int LogPrint(const char* format, ...) GL_PRINTF_FORMAT(1, 2);

// Wide format with the Windows conventions: "%s" and "%c" take wide
// arguments, "%hs"/"%S" narrow ones. The message is written in the narrow
// encoding of the system (the ANSI code page on Windows, UTF-8 elsewhere),
// as LogServiceError's text is. In either kind of format a text argument of
// the other width is converted with that same encoding.
int LogPrintW(const wchar_t* format, ...);

// Writes `text` unchanged as one line's message ("%" means nothing here).
// The service client's error callback.
int LogServiceError(const wchar_t* text);

// Path of today's log file, creating the logger when there is none; null when
// no logger can be made. Valid until ReleaseLogger.
const wchar_t* GetLogFilePath();

void ReleaseLogger();

// One module's log calls: each line starts with "[<tag>:<number>]", the
// module's source tag and the number fixed for that message, so a call site
// gives only the number, the rest of the format and its arguments:
//   constexpr ModuleLog kLog{"Loader", L"Loader"};
//   kLog(85, "CreateFile Failed filePath=%s", path);   // "[Loader:85]CreateFile..."
// Same bounds and threads as LogPrint / LogPrintW.
class ModuleLog {
public:
    constexpr ModuleLog(const char* tag, const wchar_t* wideTag) : m_tag(tag), m_wideTag(wideTag) {}

    // The C99 printf rules of LogPrint, checked by the compiler.
    int operator()(int number, const char* format, ...) const GL_PRINTF_FORMAT(3, 4);
    // The wide format conventions of LogPrintW ("%s" a wide text, "%hs" a
    // narrow one).
    int wide(int number, const wchar_t* format, ...) const;

    const char* tag() const { return m_tag; }
    const wchar_t* wideTag() const { return m_wideTag; }

private:
    const char* m_tag;
    const wchar_t* m_wideTag;
};
