// The in-process crash-report engine. Installed for the process, it catches
// the fatal signals (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP,
// SIGSYS) and std::terminate (which the C++ run-time's pure-virtual-call and
// uncaught allocation-failure paths end in), writes a report folder as
// crash/CrashReportFormat.h lays it out, starts the sender program with it
// and ends the process with the signal's usual status.
//
// Threads: install, uninstall and addFile run on the main thread while no
// other thread that may crash runs (start-up and shutdown). The per-thread
// operations act on the calling thread only. The crash path itself uses only
// async-signal-safe calls and memory reserved here in advance.
//
// A crash inside the handler, or a second crash while one is being handled,
// ends the process at once: the second thread waits at most
// kSecondCrashWaitSeconds for the first to finish, and a handler that does
// not finish within kHandlerTimeLimitSeconds is ended by SIGALRM.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "crash/CrashReportFormat.h"

namespace crash {

// The install record, field for field; zero or null leaves the engine's
// default in force. `size` must be kInstallRecordSize (104), the record's
// size with 32-bit pointers: it marks the record's version and stays the same
// whatever sizeof(InstallRecord) is in a build.
struct InstallRecord {
    uint16_t size = 0;
    const wchar_t* appName = nullptr;
    const wchar_t* appVersion = nullptr;
    const wchar_t* emailTo = nullptr;
    const wchar_t* emailSubject = nullptr;
    const wchar_t* url = nullptr;
    const wchar_t* senderFolder = nullptr;
    void (*crashCallback)() = nullptr;
    int32_t transportPriorities[5] = {};
    uint32_t flags = 0;
    const wchar_t* privacyPolicyUrl = nullptr;
    const wchar_t* debugHelpLibrary = nullptr;
    uint32_t minidumpType = 0;
    const wchar_t* reportFolder = nullptr;
    const wchar_t* restartCommandLine = nullptr;
    const wchar_t* languageFile = nullptr;
    const wchar_t* emailText = nullptr;
    const wchar_t* smtpProxy = nullptr;
    const wchar_t* senderIcon = nullptr;
    const wchar_t* smtpLogin = nullptr;
    const wchar_t* smtpPassword = nullptr;
    int32_t restartTimeout = 0;
};

inline constexpr uint16_t kInstallRecordSize = 104;
// Indexes into transportPriorities; a priority of -1 leaves that transport out.
inline constexpr int32_t kTransportHttp = 0;
inline constexpr int32_t kTransportSmtp = 1;
inline constexpr int32_t kTransportSimpleMapi = 2;
// The thirteen handler bits. This system offers its handlers as one set:
// any of these bits installs all of them (the signals and std::terminate).
inline constexpr uint32_t kFlagAllHandlers = 0x1FFF;
// The flags the report carries to the sender are defined with the report.
using crashreport::kFlagHttpBinaryEncoding;
using crashreport::kFileFlagCopy;
using crashreport::kFileFlagAllowDelete;

inline constexpr unsigned kHandlerTimeLimitSeconds = 60;
inline constexpr unsigned kSecondCrashWaitSeconds = 30;
// How long the crashed process waits to learn whether the sender started.
inline constexpr int kSenderStartWaitMs = 5000;

// Results: 0 on success, non-zero on failure with lastErrorText() telling why.
inline constexpr int32_t kOk = 0;
inline constexpr int32_t kFailed = 1;

// Installs the handlers for the process and for the calling thread. Fails
// when the record is incomplete (size, application name, upload URL, sender
// folder), when the sender program is missing or not executable in the
// sender folder, when the report folder cannot be created, or when already
// installed.
int32_t install(const InstallRecord* record);
// Puts back what was there before install. Fails when not installed.
int32_t uninstall();
bool isInstalled();

// Per-thread: an alternate signal stack for the calling thread, so that its
// stack overflow can still be reported. `flags` 0 means all handlers.
// Nested calls on one thread are counted; the stack goes at the last
// uninstall. Fail when the engine is not installed.
int32_t installThreadHandlers(uint32_t flags);
int32_t uninstallThreadHandlers();

// Copies the file at `path` into every future report (the last
// kMaxFileCopyBytes of it, as it is at the crash) under `destName` (null:
// the file's own name) with `description`. Fails for a missing file or a
// folder, a name already attached, and beyond kMaxAttachedFiles.
int32_t addFile(const wchar_t* path, const wchar_t* destName, const wchar_t* description, uint32_t flags);

// The text of the last failure of the calling thread's calls above.
std::wstring lastErrorText();

// The report folder root (".../Keltora/morvel3/CrashReports") in use, empty
// when not installed. For tests and the program's own diagnostics.
std::string reportsRoot();

}  // namespace crash
