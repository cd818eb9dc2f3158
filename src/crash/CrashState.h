// What the engine prepares at install time for the crash path: every text
// the report needs, already narrow and bounded, and the list of attached
// files. Written only on the main thread while no other thread can crash;
// read by the crash path, which allocates nothing.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "crash/CrashEngine.h"
#include "crash/CrashReportFormat.h"

namespace crash::detail {

inline constexpr std::size_t kPathBytes = 4096;
inline constexpr std::size_t kTextBytes = 512;
inline constexpr std::size_t kUrlBytes = 2048;
inline constexpr std::size_t kNameBytes = 256;
inline constexpr std::size_t kBuildIdChars = 129;  // 64 bytes in hex and the terminator

struct AttachedFile {
    char source[kPathBytes];
    char name[kNameBytes];
    char description[kTextBytes];
    uint32_t flags;
};

struct EngineState {
    char appName[kTextBytes];
    char appVersion[kTextBytes];
    char url[kUrlBytes];
    char privacyUrl[kUrlBytes];
    char reportsRoot[kPathBytes];  // no trailing separator
    char senderPath[kPathBytes];
    char exePath[kPathBytes];
    char buildId[kBuildIdChars];  // lower-case hex; empty when the program has none
    uint32_t flags;
    AttachedFile files[crashreport::kMaxAttachedFiles];
    // Published with release after an entry is complete, so a crash on
    // another thread never sees half an entry.
    std::atomic<std::size_t> fileCount;
};

extern EngineState g_state;

// Copies `text` into a fixed field; line ends and TABs would break the
// report's record format, so they become '?'. False when it does not fit.
bool storeField(char* out, std::size_t capacity, std::string_view text);
bool storeWide(char* out, std::size_t capacity, const wchar_t* text);
// Checks the install record and stores its texts and flags in g_state,
// with no attached file. Null when it was taken, else why it was refused.
const wchar_t* takeInstallRecord(const InstallRecord* record);

// The signals the engine handles, in the order installed.
inline constexpr int kSignalCount = 7;
extern const int kSignals[kSignalCount];

// Entry points of the crash path (CrashWriter_posix.cpp).
void onCrashSignal(int sig, void* info, void* context);
void onTerminate();
// Resets the crash path's one-crash guard; only for install.
void resetCrashGuard();

}  // namespace crash::detail
