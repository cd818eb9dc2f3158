#include "app/CrashReport.h"

#include <atomic>
#include <string>

#include "app/AppLog.h"
#include "app/CrashConfig.h"
#include "crash/CrashEngine.h"
#include "crash/CrashReportFormat.h"
#include "foundation/Log.h"
#include "foundation/SystemUtil.h"
#include "platform/ini.h"
#include "platform/path.h"
#include "platform/process.h"
#include "platform/text.h"

namespace {

constexpr const ModuleLog& kLog = kCrashReportLog;

constexpr uint32_t kFlags = crash::kFlagAllHandlers | crash::kFlagHttpBinaryEncoding;  // 0x5FFF
constexpr std::size_t kLastErrorChars = 511;

// Written once by the main thread before any other thread exists.
std::atomic<bool> g_installed{false};

bool empty(const wchar_t* text) { return text == nullptr || text[0] == L'\0'; }

}  // namespace

int32_t installCrashReport(const wchar_t* senderFolder, const wchar_t* appName, const wchar_t* appVersion) {
    kLog.wide(23, L" installCrashReport %s %s %s", senderFolder, appName, appVersion);
    if (empty(senderFolder) || empty(appName) || empty(appVersion)) return kCrashReportBadArgument;

    std::wstring program;
    if (!platform::moduleFileName(program) || program.empty() || program.size() >= kMaxPathChars)
        return kCrashReportNoProgramPath;
    // "/" is this system's backslash.
    const std::size_t separator = program.find_last_of(L"\\/");
    if (separator == std::wstring::npos) return kCrashReportNoSeparator;
    const std::wstring folder = program.substr(0, separator + 1);
    // A sender folder that would not fit its 260-character buffer counts as
    // an unusable program path rather than being cut.
    std::wstring sender;
    if (!JoinPath(sender, {folder, senderFolder}, kMaxPathChars)) return kCrashReportNoProgramPath;

    const std::wstring url = crashUploadUrl(program.substr(0, separator).c_str());
    const std::wstring privacy = crashPrivacyPolicyUrl();
    crash::InstallRecord record;
    record.size = crash::kInstallRecordSize;
    record.appName = appName;
    record.appVersion = appVersion;
    record.url = url.c_str();
    record.senderFolder = sender.c_str();
    record.transportPriorities[crash::kTransportHttp] = 3;
    record.transportPriorities[crash::kTransportSmtp] = -1;        // never used
    record.transportPriorities[crash::kTransportSimpleMapi] = -1;  // never used
    record.flags = kFlags;
    record.privacyPolicyUrl = privacy.c_str();
    if (crash::install(&record) == crash::kOk) {
        g_installed.store(true);
        return kCrashReportInstalled;
    }
    std::wstring error = crash::lastErrorText();
    if (error.size() > kLastErrorChars) error.resize(kLastErrorChars);
    kLog.wide(65, L" startMainCRpt failed ERROR:%s senderPath:%s", error.c_str(), sender.c_str());
    return kCrashReportEngineRefused;
}

void addCrashReportFile(const wchar_t* description, const wchar_t* path) {
    if (!g_installed.load() || empty(description) || empty(path)) return;
    crash::addFile(path, nullptr, description, crash::kFileFlagCopy | crash::kFileFlagAllowDelete);
}

void uninstallCrashReport() {
    kLog(75, "uninstallCrashReport");
    if (!g_installed.load()) return;
    crash::uninstall();
    g_installed.store(false);
}

bool crashReportInstalled() { return g_installed.load(); }
