#include "app/CrashConfig.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "crash/CrashBuildSettings.h"
#include "platform/text.h"
#include "support/TempHome.h"

namespace fs = std::filesystem;

namespace {

TEST(CrashConfig, BuiltInUploadUrlIsTheHostsSchemeOrHttpToTheUploadPath) {
    const std::wstring url = crashBuiltInUploadUrl();
    const std::wstring path = L"/index.php/crashReport/uploadExternal";
    const std::string host = crashreport::kBuiltInUploadHost;
    if (host.rfind("https://", 0) == 0) {
        std::wstring bare = platform::utf8ToWide(host);
        while (bare.back() == L'/') bare.pop_back();
        EXPECT_EQ(url, bare + path);
    } else {
        EXPECT_EQ(url, L"http://" + platform::utf8ToWide(host) + path);
    }
    ASSERT_GT(url.size(), path.size() + 7);
    EXPECT_EQ(url.substr(url.size() - path.size()), path);
    EXPECT_EQ(std::wstring(crashPrivacyPolicyUrl()), platform::utf8ToWide(crashreport::kPrivacyPolicyUrl));
}

TEST(CrashConfig, SettingIniOverridesTheUploadUrlOnlyWhenSet) {
    testsupport::TempHome home;
    const fs::path folder = home.root() / "game folder";
    fs::create_directories(folder);
    const std::wstring wideFolder = platform::utf8ToWide(folder.string());
    const std::wstring builtIn = crashBuiltInUploadUrl();
    const std::string longIni = "[CrashReport]\nUploadHost=" + std::string(1500, 'a') + "\n";
    const std::wstring path = L"/index.php/crashReport/uploadExternal";

    struct Case {
        const char* name;
        const char* ini;  // null: no setting.ini at all
        std::wstring expected;
    };
    const Case cases[] = {
        {"no file", nullptr, builtIn},
        {"other sections only", "[SETTING]\nCURL_WAITETIME=5\n", builtIn},
        {"empty value", "[CrashReport]\nUploadHost=\n", builtIn},
        {"set", "[SETTING]\nCURL_WAITETIME=5\n[CrashReport]\nUploadHost=127.0.0.1:8080\n",
         L"http://127.0.0.1:8080" + path},
        {"names without letter case, blanks and quotes", "[crashreport]\n uploadhost = \"h.test\" \n",
         L"http://h.test" + path},
        {"commented out", "[CrashReport]\n;UploadHost=h.test\n", builtIn},
        {"https keeps its scheme", "[CrashReport]\nUploadHost=https://crash.test:8443\n",
         L"https://crash.test:8443" + path},
        {"https with a trailing slash", "[CrashReport]\nUploadHost=https://crash.test/\n",
         L"https://crash.test" + path},
        {"http spelt out", "[CrashReport]\nUploadHost=http://127.0.0.1:8080\n", L"http://127.0.0.1:8080" + path},
        {"cut like every profile value", longIni.c_str(), L"http://" + std::wstring(1023, L'a') + path},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(folder / "setting.ini");
        if (c.ini) testsupport::writeFile(folder / "setting.ini", c.ini);
        EXPECT_EQ(crashUploadUrl(wideFolder.c_str()), c.expected);
    }
    EXPECT_EQ(crashUploadUrl(nullptr), builtIn);
    EXPECT_EQ(crashUploadUrl(L""), builtIn);
}

}  // namespace
