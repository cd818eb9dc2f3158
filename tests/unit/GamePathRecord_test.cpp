#include "app/GamePathRecord.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "foundation/Log.h"
#include "support/LogReader.h"
#include "support/TempHome.h"

namespace fs = std::filesystem;
using testsupport::readFile;

namespace {

class GamePathRecordTest : public ::testing::Test {
protected:
    void TearDown() override { ReleaseLogger(); }
    fs::path record() const { return home.config() / "Keltora/morvel3/GamePath/GamePath.rcd"; }
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
    EXPECT_EQ(readFile(record()), "/games/\xe6\xb8\xb8\xe6\x88\x8f");
    const std::string path = record().string();
    EXPECT_NE(log().find("[GameLauncher:284]WriteFile OK Path:" + path + " buff:/games/\xe6\xb8\xb8\xe6\x88\x8f dwWriteByte:13\r\n"),
              std::string::npos);
}

TEST_F(GamePathRecordTest, CharactersWithoutNarrowFormBecomeTheDefaultCharacter) {
    const wchar_t folder[] = {L'/', L'g', static_cast<wchar_t>(0xD800), L'x', 0};
    WriteGamePathRecord(folder);
    EXPECT_EQ(readFile(record()), "/g?x");
}

TEST_F(GamePathRecordTest, ReadOnlyRecordKeepsItsContent) {
    testsupport::writeFile(record(), "/old");
    ::chmod(record().c_str(), 0444);
    WriteGamePathRecord(L"/new");
    EXPECT_EQ(readFile(record()), "/old");
    EXPECT_NE(log().find("[GameLauncher:271]CreateFileW failed:13 path:" + record().string() + "\r\n"), std::string::npos);
}

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

}  // namespace
