#include "app/CrashConfig.h"

#include "CrashConfigBuild.h"
#include "foundation/SystemUtil.h"
#include "platform/ini.h"

namespace {

// The same bound as every other setting.ini value.
constexpr uint32_t kUrlChars = 1024;
constexpr std::size_t kPathChars = 1024;

}  // namespace

const wchar_t* crashBuiltInUploadUrl() { return GL_CRASH_UPLOAD_URL_W; }

const wchar_t* crashPrivacyPolicyUrl() { return GL_PRIVACY_POLICY_URL_W; }

std::wstring crashUploadUrl(const wchar_t* programFolder) {
    if (programFolder == nullptr || *programFolder == L'\0') return crashBuiltInUploadUrl();
    std::wstring path;
    if (!JoinPath(path, {programFolder, L"\\setting.ini"}, kPathChars)) return crashBuiltInUploadUrl();
    wchar_t value[kUrlChars] = {};
    const uint32_t n = platform::getPrivateProfileString(L"CRASH", L"UPLOAD_URL", L"", value, kUrlChars, path.c_str());
    if (n == 0) return crashBuiltInUploadUrl();
    return std::wstring(value, n);
}
