// The program's side of crash reporting: installs the crash-report engine
// for the process with the program's name, version, upload address and
// sender location, attaches files to future reports, and uninstalls it.
// The per-thread operations are in crash/ThreadCrashHandler.h.
//
// Threads: main thread only, at start-up (before any worker thread exists)
// and at shutdown (after they have ended). Never blocks beyond a few file
// system calls. Every failure leaves the program running without crash
// reporting; nothing is shown to the user.
#pragma once

#include <cstdint>

// Results of installCrashReport.
inline constexpr int32_t kCrashReportInstalled = 0;
inline constexpr int32_t kCrashReportBadArgument = 1;    // a text null or empty
inline constexpr int32_t kCrashReportNoProgramPath = 2;  // unreadable, or over 259 characters (the sender folder too)
inline constexpr int32_t kCrashReportNoSeparator = 3;    // the program path has no separator
inline constexpr int32_t kCrashReportEngineRefused = 4;  // logged with the engine's text

// `senderFolder` is relative to the program's folder (start-up passes ".\").
int32_t installCrashReport(const wchar_t* senderFolder, const wchar_t* appName, const wchar_t* appVersion);

// Copies `path` into every future report under its own name, described as
// `description`; the user may leave it out. Nothing when not installed or a
// text is null or empty.
void addCrashReportFile(const wchar_t* description, const wchar_t* path);

// Logs "[CrashReport:75]uninstallCrashReport", then uninstalls when installed.
void uninstallCrashReport();

// The process-wide mark: true from a successful install to the uninstall.
bool crashReportInstalled();
