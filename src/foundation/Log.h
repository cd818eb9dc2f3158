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
// character, and the line keeps its CR LF.
#pragma once

#include <cstdint>

// Formats with the printf rules. Returns non-zero when the line was written,
// 0 when there is no log file or the write failed.
int LogPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Wide format with the Windows conventions: "%s" and "%c" take wide
// arguments, "%hs"/"%S" narrow ones. The message is written as UTF-8.
int LogPrintW(const wchar_t* format, ...);

// Writes `text` unchanged as one line's message ("%" means nothing here).
// The service client's error callback.
int LogServiceError(const wchar_t* text);

// Path of today's log file, creating the logger when there is none; null when
// no logger can be made. Valid until ReleaseLogger.
const wchar_t* GetLogFilePath();

void ReleaseLogger();
