#include "app/CrashConfig.h"

#include "crash/CrashBuildSettings.h"
#include "crash/CrashReportFormat.h"
#include "foundation/SystemUtil.h"
#include "platform/ini.h"
#include "platform/text.h"

namespace {

// The same bounds as every other setting.ini value.
constexpr uint32_t kHostChars = 1024;

// A host given with its scheme keeps it (https: the report carries the log,
// with the player's paths); a plain "host[:port]" is reached over http.
std::wstring uploadUrlFor(std::wstring_view host) {
    const std::wstring path = platform::utf8ToWide(crashreport::kUploadPath);
    if (host.starts_with(L"https://") || host.starts_with(L"http://")) {
        while (!host.empty() && host.back() == L'/') host.remove_suffix(1);
        return std::wstring(host) + path;
    }
    return L"http://" + std::wstring(host) + path;
}

}  // namespace

const wchar_t* crashBuiltInUploadUrl() {
    static const std::wstring url = uploadUrlFor(platform::utf8ToWide(crashreport::kBuiltInUploadHost));
    return url.c_str();
}

const wchar_t* crashPrivacyPolicyUrl() {
    static const std::wstring url = platform::utf8ToWide(crashreport::kPrivacyPolicyUrl);
    return url.c_str();
}

std::wstring crashUploadUrl(const wchar_t* programFolder) {
    if (programFolder == nullptr || *programFolder == L'\0') return crashBuiltInUploadUrl();
    std::wstring path;
    if (!JoinPath(path, {programFolder, L"\\setting.ini"}, kPathBufferChars)) return crashBuiltInUploadUrl();
    wchar_t host[kHostChars] = {};
    const uint32_t n = platform::getPrivateProfileString(crashreport::kSettingSection, crashreport::kSettingUploadHost,
                                                         L"", host, kHostChars, path.c_str());
    if (n == 0) return crashBuiltInUploadUrl();
    return uploadUrlFor(std::wstring_view(host, n));
}
