#include "foundation/SystemUtil.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cwchar>
#include <filesystem>
#include <string>

#include "platform/text.h"
#include "support/TempHome.h"

namespace fs = std::filesystem;

namespace {

TEST(GetCurrentExePath, GivesTheProgramFolderWithoutSeparator) {
    wchar_t folder[kMaxPathChars];
    ASSERT_TRUE(GetCurrentExePath(folder, kMaxPathChars));
    EXPECT_EQ(platform::wideToUtf8(folder), fs::read_symlink("/proc/self/exe").parent_path().string());
    EXPECT_NE(folder[std::wcslen(folder) - 1], L'/');
}

TEST(GetCurrentExePath, RefusesBuffersThatDoNotFit) {
    wchar_t folder[kMaxPathChars];
    const std::size_t needed = fs::read_symlink("/proc/self/exe").parent_path().string().size();
    EXPECT_FALSE(GetCurrentExePath(folder, 1));
    EXPECT_FALSE(GetCurrentExePath(nullptr, kMaxPathChars));
    EXPECT_FALSE(GetCurrentExePath(folder, static_cast<uint32_t>(needed)));
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
        std::string narrow;
    };
    const Case cases[] = {
        {L"", ""},
        {L"plain", "plain"},
        {L"\u300aMorvel 3\u300b", "\xe3\x80\x8aMorvel 3\xe3\x80\x8b"},
        {L"\U0001F600", "\xf0\x9f\x98\x80"},
    };
    for (const Case& c : cases) {
        ConvertedText a, u, back;
        WideToAnsi(c.wide.c_str(), a);
        WideToUtf8(c.wide.c_str(), u);
        ASSERT_NE(a.narrow(), nullptr);
        EXPECT_EQ(std::string(a.narrow()), c.narrow);
        EXPECT_EQ(std::string(u.narrow()), c.narrow);
        AnsiToWide(c.narrow.c_str(), back);
        ASSERT_NE(back.wide(), nullptr);
        EXPECT_EQ(std::wstring(back.wide()), c.wide);
    }
    ConvertedText bad, lone;
    AnsiToWide("a\xff\xc3(b\xe6\xb8", bad);
    EXPECT_EQ(std::wstring(bad.wide()), L"a\uFFFD\uFFFD(b\uFFFD\uFFFD");
    const wchar_t surrogate[] = {L'x', static_cast<wchar_t>(0xDC00), static_cast<wchar_t>(0x110000), L'y', 0};
    WideToAnsi(surrogate, lone);
    EXPECT_EQ(std::string(lone.narrow()), "x??y");
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
