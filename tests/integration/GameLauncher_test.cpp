// Runs the real program from a game folder of its own and reads what it left.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>

#include "support/GameFolder.h"

namespace fs = std::filesystem;
using testsupport::readFile;

namespace {

using GameLauncherRun = testsupport::GameFolderTest;

TEST_F(GameLauncherRun, LogsStartAndExitAndLeavesTheGamePathRecord) {
    const auto run = runWithoutWorkflow();
    ASSERT_EQ(run.exitCode, 0) << run.output;
    const std::string text = log();
    const std::string stamp = R"(\d{4}-\d{2}-\d{2}_\d{2}:\d{2}:\d{2}:\d{3} \[GameLauncher:\d+\] )";
    EXPECT_TRUE(std::regex_search(text, std::regex("^" + stamp + R"(\[GameLauncher:31\]GameLauncher Start\r\n)"))) << text;
    EXPECT_TRUE(std::regex_search(text, std::regex(stamp + R"(\[GameLauncher:154\]GameLauncher Exit \r\n\r\n\r\n$)")))
        << text;
    EXPECT_NE(text.find("[GameLauncher:284]WriteFile OK Path:"), std::string::npos);
    EXPECT_EQ(readFile(home.config() / "Keltora/morvel3/GamePath/GamePath.rcd"), game.string());
}

TEST_F(GameLauncherRun, RunsWithoutAnyWritablePerUserFolder) {
    testsupport::writeFile(home.root() / "blocker", "x");
    const std::string blocked = (home.root() / "blocker").string();
    const auto run = testsupport::runProgram(game / "gamelauncher", {}, game,
                                             {{"HOME", blocked}, {"XDG_CONFIG_HOME", blocked + "/c"},
                                              {"XDG_DATA_HOME", blocked + "/d"}, {"QT_QPA_PLATFORM", "offscreen"}});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(log(), "");
}

TEST_F(GameLauncherRun, ProgramPathOverTheBoundIsLoggedAndEndsTheRun) {
    // Linux allows far longer paths than the 259 characters the program's
    // folder buffers hold; such a folder is refused rather than cut.
    const fs::path deep = home.root() / std::string(200, 'g') / std::string(100, 'h');
    fs::create_directories(deep);
    fs::copy_file(game / "gamelauncher", deep / "gamelauncher");
    const auto run = testsupport::runProgram(deep / "gamelauncher", {}, deep);
    EXPECT_EQ(run.exitCode, 0) << run.output;
    const std::string text = log();
    EXPECT_NE(text.find("[GameLauncher:64]GetCurrentExePath Failed LastErrorID:36\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("[GameLauncher:154]GameLauncher Exit "), std::string::npos);
    EXPECT_FALSE(fs::exists(home.config() / "Keltora/morvel3/GamePath/GamePath.rcd"));
}

}  // namespace
