// The INI reader against the Windows profile rules, over texts and files.
#include "platform/ini.h"

#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#endif

#include <string>

#include "support/TempHome.h"

namespace {

struct LookupCase {
    const char* what;
    std::string content;
    const wchar_t* section;
    const wchar_t* key;
    const wchar_t* def;
    uint32_t size;
    std::wstring expected;
};

const LookupCase kLookups[] = {
    {"plain", "[UPGRADE]\nSERVER_UPGRADE_0=http://a/\n", L"UPGRADE", L"SERVER_UPGRADE_0", L"", 1024, L"http://a/"},
    {"letter case of section and key", "[upgrade]\nserver_upgrade_0=x\n", L"UPGRADE", L"SERVER_UPGRADE_0", L"", 64,
     L"x"},
    {"blanks around everything", "  [ UNION ]  \r\n\t ID \t=\t 42 \r\n", L"UNION", L"ID", L"0", 64, L"42"},
    {"first key wins", "[S]\nK=first\nK=second\n", L"S", L"K", L"", 64, L"first"},
    {"only the first section of a name is searched", "[S]\nA=1\n[T]\nK=t\n[S]\nK=second section\n", L"S", L"K", L"def",
     64, L"def"},
    {"a later section of the name does not override", "[S]\nK=1\n[s]\nK=2\n", L"S", L"K", L"", 64, L"1"},
    {"double quotes removed", "[S]\nK=\" spaced \"\n", L"S", L"K", L"", 64, L" spaced "},
    {"single quotes removed", "[S]\nK='q'\n", L"S", L"K", L"", 64, L"q"},
    {"one pair only", "[S]\nK=\"\"x\"\"\n", L"S", L"K", L"", 64, L"\"x\""},
    {"unmatched quotes kept", "[S]\nK=\"x'\n", L"S", L"K", L"", 64, L"\"x'"},
    {"a lone quote kept", "[S]\nK=\"\n", L"S", L"K", L"", 64, L"\""},
    {"semicolon line is a comment", "[S]\n;K=commented\nK=real\n", L"S", L"K", L"", 64, L"real"},
    {"indented semicolon line is a comment", "[S]\n   ;K=commented\n", L"S", L"K", L"d", 64, L"d"},
    {"hash is not a comment", "[S]\n#K=x\nK=y ; not a comment\n", L"S", L"#K", L"", 64, L"x"},
    {"trailing semicolon text is part of the value", "[S]\nK=y ; not a comment\n", L"S", L"K", L"", 64,
     L"y ; not a comment"},
    {"value cut to size less one", "[S]\nK=abcdefgh\n", L"S", L"K", L"", 4, L"abc"},
    {"quotes removed before the cut", "[S]\nK=\"abcdefgh\"\n", L"S", L"K", L"", 4, L"abc"},
    {"default cut too", "", L"S", L"K", L"defaultvalue", 5, L"defa"},
    {"default loses trailing blanks", "", L"S", L"K", L"0  ", 64, L"0"},
    {"missing section", "[T]\nK=1\n", L"S", L"K", L"0", 64, L"0"},
    {"missing key", "[S]\nJ=1\n", L"S", L"K", L"0", 64, L"0"},
    {"key without '=' reads as missing", "[S]\nK\nK=later\n", L"S", L"K", L"d", 64, L"d"},
    {"empty value is empty, not the default", "[S]\nK=\n", L"S", L"K", L"d", 64, L""},
    {"'=' inside the value", "[S]\nK=a=b\n", L"S", L"K", L"", 64, L"a=b"},
    {"keys before any section are not in a named one", "K=top\n[S]\n", L"S", L"K", L"d", 64, L"d"},
    {"CR-only line ends", "[S]\rA=1\rK=2\r", L"S", L"K", L"", 64, L"2"},
    {"no line end at the end", "[S]\nK=last", L"S", L"K", L"", 64, L"last"},
    {"UTF-8 byte-order mark skipped", "\xEF\xBB\xBF[S]\nK=bom\n", L"S", L"K", L"", 64, L"bom"},
    {"UTF-8 value", "[S]\nK=\xE4\xB8\xAD\xE6\x96\x87\n", L"S", L"K", L"", 64, L"\u4e2d\u6587"},
    {"invalid UTF-8 becomes U+FFFD",
     "[S]\nK=a\xFF"
     "b\n",
     L"S", L"K", L"", 64, L"a\uFFFDb"},
    {"UTF-16LE with byte-order mark", std::string("\xFF\xFE[\0S\0]\0\n\0K\0=\0v\0", 16), L"S", L"K", L"", 64, L"v"},
    {"section header without ']' is no header", "[S]\n[T\nK=in S\n", L"S", L"K", L"", 64, L"in S"},
    {"non-ASCII letter case", "[\xC3\x84]\nK=umlaut\n", L"\u00e4", L"K", L"", 64, L"umlaut"},
};

TEST(IniText, WindowsProfileRules) {
    for (const auto& c : kLookups) {
        wchar_t out[1024];
        std::wmemset(out, L'#', 1024);
        const uint32_t n = platform::profileStringFromText(c.content, c.section, c.key, c.def, out, c.size);
        EXPECT_EQ(std::wstring(out), c.expected) << c.what;
        EXPECT_EQ(n, c.expected.size()) << c.what;
    }
}

TEST(IniText, TinyAndMissingBuffers) {
    wchar_t one[1] = {L'#'};
    EXPECT_EQ(platform::profileStringFromText("[S]\nK=v\n", L"S", L"K", L"", one, 1), 0u);
    EXPECT_EQ(one[0], L'\0');
    EXPECT_EQ(platform::profileStringFromText("[S]\nK=v\n", L"S", L"K", L"", nullptr, 10), 0u);
    wchar_t out[8];
    EXPECT_EQ(platform::profileStringFromText("[S]\nK=v\n", nullptr, L"K", L"d", out, 8), 1u);
    EXPECT_EQ(std::wstring(out), L"d");
    EXPECT_EQ(platform::profileStringFromText("[S]\nK=v\n", L"S", L"K", nullptr, out, 8), 1u);
    EXPECT_EQ(platform::profileStringFromText("", L"S", L"K", nullptr, out, 8), 0u);
    EXPECT_EQ(std::wstring(out), L"");
}

class IniFile : public ::testing::Test {
protected:
    testsupport::TempHome home;
};

TEST_F(IniFile, ReadsThroughEitherSeparatorAndFallsBackWithoutFile) {
    testsupport::writeFile(home.root() / "game/launcher.ini", "[UPGRADE]\r\nSERVER_UPGRADE_2=http://127.0.0.1:1/\r\n");
    const std::wstring folder = (home.root() / "game").wstring();
    wchar_t out[1024];
    EXPECT_EQ(platform::getPrivateProfileString(L"UPGRADE", L"SERVER_UPGRADE_2", L"", out, 1024,
                                                (folder + L"\\launcher.ini").c_str()),
              19u);
    EXPECT_EQ(std::wstring(out), L"http://127.0.0.1:1/");
    EXPECT_EQ(platform::getPrivateProfileString(L"UPGRADE", L"SERVER_UPGRADE_2", L"none", out, 1024,
                                                (folder + L"/missing.ini").c_str()),
              4u);
    EXPECT_EQ(std::wstring(out), L"none");
    // A folder where the file should be reads as a missing file.
    EXPECT_EQ(platform::getPrivateProfileString(L"UPGRADE", L"K", L"d", out, 1024, folder.c_str()), 1u);
    EXPECT_EQ(platform::getPrivateProfileString(L"UPGRADE", L"K", L"d", out, 1024, nullptr), 1u);
}

// A link to a device is this system's form; the Windows forms are below.
#ifndef _WIN32
TEST_F(IniFile, EndlessFileIsReadOnlyUpToItsBound) {
    const auto path = home.root() / "launcher.ini";
    std::filesystem::create_symlink("/dev/zero", path);
    wchar_t out[16];
    EXPECT_EQ(
        platform::getPrivateProfileString(L"UPGRADE", L"SERVER_UPGRADE_0", L"none", out, 16, path.wstring().c_str()),
        4u);
    EXPECT_EQ(std::wstring(out), L"none");
}
#else
// A pipe that never sends or a device named like the file would keep the
// system's reader waiting or reading for good: such names read as missing.
TEST_F(IniFile, PipesAndDevicesReadAsMissing) {
    const std::wstring pipeName = L"\\\\.\\pipe\\gl-ini-test-" + std::to_wstring(::GetCurrentProcessId());
    const HANDLE pipe = ::CreateNamedPipeW(pipeName.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096,
                                          4096, 0, nullptr);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE) << ::GetLastError();
    for (const std::wstring& path : {pipeName, std::wstring(L"NUL"), std::wstring(L"\\\\.\\NUL"),
                                     (home.root() / "CON").wstring(), std::wstring(L"CONIN$")}) {
        wchar_t out[16];
        EXPECT_EQ(platform::getPrivateProfileString(L"UPGRADE", L"SERVER_UPGRADE_0", L"none", out, 16, path.c_str()), 4u);
        EXPECT_EQ(std::wstring(out), L"none");
        EXPECT_EQ(platform::getPrivateProfileInt(L"SETTING", L"CURL_WAITETIME", 30, path.c_str()), 30u);
    }
    ::CloseHandle(pipe);
}
#endif

TEST_F(IniFile, IntegersTheWindowsWay) {
    struct Case {
        const char* value;  // null: key absent
        int32_t def;
        uint32_t expected;
    };
    const Case cases[] = {
        {"30", 1, 30},
        {" 45 ", 1, 45},
        {"12ab", 1, 12},
        {"abc", 7, 0},
        {"", 7, 7},
        {nullptr, 30, 30},
        {"-1", 0, 0xFFFFFFFFu},
        {"+5", 0, 5},
        {"0x1F", 0, 31},
#ifdef _WIN32
        {"0X1f", 0, 0},  // the system takes the prefix in lower case only
#else
        {"0X1f", 0, 31},
#endif
        {"\"8\"", 0, 8},
        {"4294967297", 0, 1},
        {nullptr, -1, 0xFFFFFFFFu},
    };
    const auto path = home.root() / "setting.ini";
    for (const auto& c : cases) {
        testsupport::writeFile(path, c.value != nullptr ? std::string("[SETTING]\nCURL_WAITETIME=") + c.value + "\n"
                                                        : std::string("[SETTING]\n"));
        EXPECT_EQ(platform::getPrivateProfileInt(L"SETTING", L"CURL_WAITETIME", c.def, path.wstring().c_str()),
                  c.expected)
            << (c.value != nullptr ? c.value : "(absent)");
    }
    EXPECT_EQ(platform::getPrivateProfileInt(L"DEBUG", L"FILECMP", 1, (home.root() / "none.ini").wstring().c_str()),
              1u);
}

}  // namespace
