#include "app/CrashConfig.h"

#include "crash/CrashBuildSettings.h"
#include "crash/CrashReportFormat.h"
#include "foundation/SystemUtil.h"
#include "platform/ini.h"
#include "platform/text.h"

namespace {

// The same bounds as every other setting.ini value.
constexpr uint32_t kHostChars = 1024;

std::wstring uploadUrlFor(std::wstring_view host) {
    return L"http://" + std::wstring(host) + platform::utf8ToWide(crashreport::kUploadPath);
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
