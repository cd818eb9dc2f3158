#include "foundation/SystemUtil.h"

#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#endif

#include <climits>
#include <cwchar>
#include <filesystem>
#include <string>

#include "platform/error.h"
#include "platform/text.h"
#include "support/TempHome.h"

namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
constexpr uint32_t kNameTooLong = ERROR_FILENAME_EXCED_RANGE;
#else
constexpr uint32_t kNameTooLong = 36;  // ENAMETOOLONG
#endif

// The folder of this test program, as the system names the program itself.
std::wstring programFolder() {
#ifdef _WIN32
    wchar_t module[MAX_PATH];
    const DWORD n = ::GetModuleFileNameW(nullptr, module, MAX_PATH);
    std::wstring path(module, n);
    return path.substr(0, path.find_last_of(L"\\/"));
#else
    return platform::utf8ToWide(fs::read_symlink("/proc/self/exe").parent_path().string());
#endif
}

TEST(GetCurrentExePath, GivesTheProgramFolderWithoutSeparator) {
    wchar_t folder[kMaxPathChars];
    ASSERT_TRUE(GetCurrentExePath(folder, kMaxPathChars));
    EXPECT_EQ(std::wstring(folder), programFolder());
    EXPECT_TRUE(fs::equivalent(fs::path(folder), fs::path(programFolder())));
    EXPECT_NE(folder[std::wcslen(folder) - 1], L'/');
    EXPECT_NE(folder[std::wcslen(folder) - 1], L'\\');
}

TEST(GetCurrentExePath, RefusesBuffersThatDoNotFit) {
    wchar_t folder[kMaxPathChars];
    const std::size_t needed = programFolder().size();
    EXPECT_FALSE(GetCurrentExePath(folder, 1));
    EXPECT_FALSE(GetCurrentExePath(nullptr, kMaxPathChars));
    EXPECT_FALSE(GetCurrentExePath(folder, static_cast<uint32_t>(needed)));
    EXPECT_EQ(platform::lastError(), kNameTooLong);
    EXPECT_TRUE(GetCurrentExePath(folder, static_cast<uint32_t>(needed + 1)));
}

class CreateFolderPathTest : public ::testing::Test {
protected:
    std::wstring w(const fs::path& p) { return platform::utf8ToWide(p.string()); }
    testsupport::TempHome home;
};

TEST_F(CreateFolderPathTest, CreatesEveryMissingLevelWhateverTheSeparators) {
    struct Case {
        std::wstring suffix;
        fs::path expected;
    };
    const Case cases[] = {
        {L"/a/b/c", "a/b/c"},
        {L"\\m\\n/o/", "m/n/o"},
        {L"/x//y\\\\z\\", "x/y/z"},
    };
    for (const Case& c : cases) {
        const std::wstring path = w(home.root()) + c.suffix;
        CreateFolderPath(path.c_str());
        EXPECT_TRUE(fs::is_directory(home.root() / c.expected)) << platform::wideToUtf8(path);
    }
}

TEST_F(CreateFolderPathTest, LeavesExistingFoldersAndBadInputAlone) {
    fs::create_directories(home.root() / "e/f");
    testsupport::writeFile(home.root() / "e/f/keep", "1");
    CreateFolderPath((w(home.root()) + L"/e/f/").c_str());
    EXPECT_EQ(testsupport::readFile(home.root() / "e/f/keep"), "1");
    CreateFolderPath(nullptr);
    CreateFolderPath(L"");
    // Too long for the work buffer: nothing at all is created, not even
    // the levels that would have fitted.
    const std::wstring tooLong = w(home.root()) + L"/long/" + std::wstring(260, L'q');
    CreateFolderPath(tooLong.c_str());
    EXPECT_FALSE(fs::exists(home.root() / "long"));
}

TEST(Conversions, RoundTripAndReplacement) {
    struct Case {
        std::wstring wide;
        std::string utf8;
        std::string ansi;  // in the ANSI code page: UTF-8 here, 1252 in the Windows test prefix
    };
#ifdef _WIN32
    ASSERT_EQ(::GetACP(), 1252u) << "the expected ANSI bytes are those of code page 1252";
#define GL_ANSI(utf8, cp1252) cp1252
#else
#define GL_ANSI(utf8, cp1252) utf8
#endif
    const Case cases[] = {
        {L"", "", ""},
        {L"plain", "plain", "plain"},
        {L"caf\u00e9 \u00fc\u20ac", "caf\xc3\xa9 \xc3\xbc\xe2\x82\xac", GL_ANSI("caf\xc3\xa9 \xc3\xbc\xe2\x82\xac", "caf\xe9 \xfc\x80")},
        {L"\u300aMorvel 3\u300b", "\xe3\x80\x8aMorvel 3\xe3\x80\x8b", GL_ANSI("\xe3\x80\x8aMorvel 3\xe3\x80\x8b", "?Morvel 3?")},
        // The code page's default character for each half of the pair.
        {L"\U0001F600", "\xf0\x9f\x98\x80", GL_ANSI("\xf0\x9f\x98\x80", "??")},
    };
#undef GL_ANSI
    for (const Case& c : cases) {
        ConvertedText a, u, back;
        WideToAnsi(c.wide.c_str(), a);
        WideToUtf8(c.wide.c_str(), u);
        ASSERT_NE(a.narrow(), nullptr);
        EXPECT_EQ(std::string(a.narrow()), c.ansi);
        EXPECT_EQ(std::string(u.narrow()), c.utf8);
        EXPECT_EQ(platform::utf8ToWide(c.utf8), c.wide);
        AnsiToWide(c.ansi.c_str(), back);
        ASSERT_NE(back.wide(), nullptr);
        // What the code page lacks comes back as its default character.
        if (c.ansi.find('?') == std::string::npos) {
            EXPECT_EQ(std::wstring(back.wide()), c.wide);
        }
    }
    // Bytes that are not UTF-8 become U+FFFD, and what follows them is read.
    EXPECT_EQ(platform::utf8ToWide("a\xff\xc3(b"), L"a\uFFFD\uFFFD(b");
    // A sequence cut short by the end: one U+FFFD per byte here; Windows'
    // reader writes one for the whole cut sequence.
#ifdef _WIN32
    EXPECT_EQ(platform::utf8ToWide("b\xe6\xb8"), L"b\uFFFD");
#else
    EXPECT_EQ(platform::utf8ToWide("b\xe6\xb8"), L"b\uFFFD\uFFFD");
    // Where the ANSI code page is UTF-8, its conversion replaces the same way.
    ConvertedText bad;
    AnsiToWide("a\xff\xc3(b\xe6\xb8", bad);
    EXPECT_EQ(std::wstring(bad.wide()), L"a\uFFFD\uFFFD(b\uFFFD\uFFFD");
#endif
    ConvertedText lone, loneUtf8;
    const wchar_t surrogate[] = {L'x', static_cast<wchar_t>(0xDC00), static_cast<wchar_t>(0xD800), L'y', 0};
    WideToAnsi(surrogate, lone);
    EXPECT_EQ(std::string(lone.narrow()), "x??y");
    WideToUtf8(surrogate, loneUtf8);
    EXPECT_EQ(std::string(loneUtf8.narrow()), "x??y");
#ifndef _WIN32
    // A wide character above U+10FFFF exists only where wchar_t has 32 bits.
    const wchar_t beyond[] = {L'x', static_cast<wchar_t>(0x110000), L'y', 0};
    ConvertedText high;
    WideToUtf8(beyond, high);
    EXPECT_EQ(std::string(high.narrow()), "x?y");
#endif
}

TEST(Conversions, Utf8PrefixNeverSplitsACharacter) {
    const std::string s = "ab\xe6\xb8\xb8\xf0\x9f\x98\x80";
    const std::size_t expected[] = {0, 1, 2, 2, 2, 5, 5, 5, 5, 9, 9};
    for (std::size_t max = 0; max < std::size(expected); ++max) {
        EXPECT_EQ(platform::utf8PrefixLength(s, max), expected[max]) << max;
    }
}

}  // namespace

TEST(JoinPath, JoinsOnlyWhatFitsItsBuffer) {
    struct Case {
        std::initializer_list<std::wstring_view> parts;
        std::size_t capacity;
        bool fits;
    };
    const std::wstring a(250, L'a');
    const Case cases[] = {
        {{L"/home/", L"Keltora/morvel3/", L"temp/"}, 260, true},
        {{a, L"123456789"}, 260, true},    // 259 characters: the last that fit
        {{a, L"1234567890"}, 260, false},  // 260 characters need 261
        {{}, 1, true},
        {{L"x"}, 1, false},
        {{L""}, 0, false},
    };
    for (const Case& c : cases) {
        std::wstring out = L"untouched";
        std::wstring expected;
        for (auto part : c.parts) expected += part;
        EXPECT_EQ(JoinPath(out, c.parts, c.capacity), c.fits) << expected.size();
        EXPECT_EQ(out, c.fits ? expected : L"untouched");
    }
}
