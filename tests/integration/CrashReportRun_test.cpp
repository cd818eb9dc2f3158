// The built program's crash-reporting set-up: without a sender beside it the
// installation fails with the engine's text and the run goes on; with one,
// nothing is logged beyond the opening line. Shutdown logs the uninstall
// either way.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>

#include "support/GameFolder.h"

namespace fs = std::filesystem;

namespace {

using CrashReportRun = testsupport::GameFolderTest;

TEST_F(CrashReportRun, WithoutTheSenderTheInstallFailsAndTheRunGoesOn) {
    const auto run = testsupport::runProgram(game / "gamelauncher", {}, game);
    EXPECT_EQ(run.exitCode, 0) << run.output;
    const std::string text = log();
    const std::string folder = game.string();
    EXPECT_NE(text.find("[CrashReport:23] installCrashReport .\\ morvel3_launcher 1.0.0.15\r\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("[CrashReport:65] startMainCRpt failed ERROR:crash sender not found: " + folder +
                        "/crashsender senderPath:" + folder + "/.\\\r\n"),
              std::string::npos)
        << text;
    // Start-up went on: the steps after crash reporting ran, and shutdown
    // logged the uninstall before the exit line.
    EXPECT_NE(text.find("[GameLauncher:284]WriteFile OK Path:"), std::string::npos);
    const std::size_t uninstall = text.find("[CrashReport:75]uninstallCrashReport\r\n");
    ASSERT_NE(uninstall, std::string::npos);
    EXPECT_LT(uninstall, text.find("[GameLauncher:154]GameLauncher Exit "));
    EXPECT_FALSE(fs::exists(home.config() / "Keltora/morvel3/CrashReports"));
}

TEST_F(CrashReportRun, WithTheSenderTheInstallSucceedsSilently) {
    testsupport::writeFile(game / "crashsender", "#!/bin/sh\nexit 0\n");
    fs::permissions(game / "crashsender", fs::perms::owner_all);
    const auto run = testsupport::runProgram(game / "gamelauncher", {}, game);
    EXPECT_EQ(run.exitCode, 0) << run.output;
    const std::string text = log();
    EXPECT_NE(text.find("[CrashReport:23] installCrashReport .\\ morvel3_launcher 1.0.0.15\r\n"), std::string::npos);
    EXPECT_EQ(text.find("[CrashReport:65]"), std::string::npos) << text;
    EXPECT_NE(text.find("[CrashReport:75]uninstallCrashReport\r\n"), std::string::npos);
    // The report folder is made at installation, empty until a crash.
    const fs::path reports = home.config() / "Keltora/morvel3/CrashReports";
    ASSERT_TRUE(fs::is_directory(reports));
    EXPECT_TRUE(fs::is_empty(reports));
}

}  // namespace
