#include "app/GamePathRecord.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "foundation/Log.h"
#include "support/LogReader.h"
#include "support/TempHome.h"

namespace fs = std::filesystem;
using testsupport::readFile;

namespace {

// The record holds the folder in the narrow encoding: UTF-8 here, the ANSI
// code page (1252 in the test prefix) on Windows, where characters it lacks
// become its default character.
#ifdef _WIN32
constexpr const char* kNarrowGame = "??";
constexpr int kAccessDenied = 5;  // ERROR_ACCESS_DENIED
#else
constexpr const char* kNarrowGame = "\xe6\xb8\xb8\xe6\x88\x8f";
constexpr int kAccessDenied = 13;  // EACCES
#endif

class GamePathRecordTest : public ::testing::Test {
protected:
    void TearDown() override { ReleaseLogger(); }
    fs::path record() const { return home.config() / "Keltora/morvel3/GamePath/GamePath.rcd"; }
    // The record's path as the program spells it: the application-data
    // folder as the system gives it, then the product's part with "/".
    std::string recordPath() const { return home.config().string() + "/Keltora/morvel3/GamePath/GamePath.rcd"; }
    std::string log() {
        ReleaseLogger();
        return testsupport::readLogs(home);
    }
    testsupport::TempHome home;
};

TEST_F(GamePathRecordTest, HoldsExactlyTheFolderOfTheLatestStart) {
    WriteGamePathRecord(L"/games/first/folder/that/is/longer");
    WriteGamePathRecord(L"/games/\u6e38\u620f");
    // No terminator, no line end, no byte-order mark.
    const std::string content = std::string("/games/") + kNarrowGame;
    EXPECT_EQ(readFile(record()), content);
    EXPECT_NE(log().find("[GameLauncher:284]WriteFile OK Path:" + recordPath() + " buff:" + content +
                         " dwWriteByte:" + std::to_string(content.size()) + "\r\n"),
              std::string::npos);
}

TEST_F(GamePathRecordTest, CharactersWithoutNarrowFormBecomeTheDefaultCharacter) {
    const wchar_t folder[] = {L'/', L'g', static_cast<wchar_t>(0xD800), L'x', 0};
    WriteGamePathRecord(folder);
    EXPECT_EQ(readFile(record()), "/g?x");
}

TEST_F(GamePathRecordTest, ReadOnlyRecordKeepsItsContent) {
    testsupport::writeFile(record(), "/old");
    fs::permissions(record(), fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    WriteGamePathRecord(L"/new");
    EXPECT_EQ(readFile(record()), "/old");
    EXPECT_NE(log().find("[GameLauncher:271]CreateFileW failed:" + std::to_string(kAccessDenied) + " path:" + recordPath() +
                         "\r\n"),
              std::string::npos);
}

// Both cases move the application-data folder by a variable; Windows' known
// folder is the profile's and no test can move it.
#ifndef _WIN32
TEST_F(GamePathRecordTest, PathOverTheBoundIsSkippedAndLogged) {
    const fs::path deep = home.root() / std::string(230, 'd');
    fs::create_directories(deep);
    // The log stays in the normal place; only the record's folder is long.
    LogPrint("[%s:%d]x", "GameLauncher", 1);
    ::setenv("XDG_CONFIG_HOME", deep.c_str(), 1);
    WriteGamePathRecord(L"/g");
    EXPECT_FALSE(fs::exists(deep / "Keltora"));
    ::setenv("XDG_CONFIG_HOME", home.config().c_str(), 1);
    EXPECT_NE(log().find("[GameLauncher:271]CreateFileW failed:36 path:" + deep.string() +
                         "/Keltora/morvel3/GamePath/GamePath.rcd\r\n"),
              std::string::npos);
}

TEST_F(GamePathRecordTest, NoAppDataFolderIsLogged) {
    LogPrint("[%s:%d]x", "GameLauncher", 1);
    ::unsetenv("XDG_CONFIG_HOME");
    ::unsetenv("HOME");
    WriteGamePathRecord(L"/g");
    ::setenv("XDG_CONFIG_HOME", home.config().c_str(), 1);
    EXPECT_NE(log().find("[GameLauncher:258]SHGetSpecialFolderPathW failed:2\r\n"), std::string::npos);
}
#endif

}  // namespace
