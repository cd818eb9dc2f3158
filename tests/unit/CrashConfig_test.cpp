#include "app/CrashConfig.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/text.h"
#include "support/TempHome.h"

namespace fs = std::filesystem;

namespace {

TEST(CrashConfig, BuiltInUploadUrlIsHttpToTheUploadPath) {
    const std::wstring url = crashBuiltInUploadUrl();
    EXPECT_EQ(url.rfind(L"http://", 0), 0u);
    const std::wstring path = L"/index.php/crashReport/uploadExternal";
    ASSERT_GT(url.size(), path.size() + 7);
    EXPECT_EQ(url.substr(url.size() - path.size()), path);
    EXPECT_NE(std::wstring(crashPrivacyPolicyUrl()), L"");
}

TEST(CrashConfig, SettingIniOverridesTheUploadUrlOnlyWhenSet) {
    testsupport::TempHome home;
    const fs::path folder = home.root() / "game folder";
    fs::create_directories(folder);
    const std::wstring wideFolder = platform::utf8ToWide(folder.string());
    const std::wstring builtIn = crashBuiltInUploadUrl();
    const std::string longIni = "[CRASH]\nUPLOAD_URL=" + std::string(1500, 'a') + "\n";

    struct Case {
        const char* name;
        const char* ini;  // null: no setting.ini at all
        std::wstring expected;
    };
    const Case cases[] = {
        {"no file", nullptr, builtIn},
        {"other sections only", "[SETTING]\nCURL_WAITETIME=5\n", builtIn},
        {"empty value", "[CRASH]\nUPLOAD_URL=\n", builtIn},
        {"set", "[SETTING]\nCURL_WAITETIME=5\n[CRASH]\nUPLOAD_URL=http://127.0.0.1:8080/x\n",
         L"http://127.0.0.1:8080/x"},
        {"names without letter case, blanks and quotes", "[crash]\n upload_url = \"http://h/u\" \n", L"http://h/u"},
        {"commented out", "[CRASH]\n;UPLOAD_URL=http://h/u\n", builtIn},
        {"cut like every profile value", longIni.c_str(),
         std::wstring(1023, L'a')},
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
