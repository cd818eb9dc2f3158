// A test that runs the built program: a private HOME and a game folder that
// holds a copy of the program. Copied, not linked: the program finds its
// folder through /proc/self/exe, which resolves links.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "support/Process.h"
#include "support/LogReader.h"
#include "support/TempHome.h"

namespace testsupport {

// The program's file name in the build tree and in a game folder.
#ifdef _WIN32
inline constexpr const char* kProgramFile = "gamelauncher.exe";
#else
inline constexpr const char* kProgramFile = "gamelauncher";
#endif

// Under Wine every window is a window of the X display the run gives it
// (scripts/test windows starts one before the Wine server, which keeps the
// display of its first client); without one the program cannot show its
// window, and the tests that need it say so.
inline bool wineHasDisplay() {
#ifdef _WIN32
    const char* display = std::getenv("DISPLAY");
    return display != nullptr && display[0] != '\0';
#else
    return true;
#endif
}

class GameFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        game = home.root() / "game folder";
        gameProgram = game / kProgramFile;
        std::filesystem::create_directories(game);
        std::filesystem::copy_file(builtProgram(kProgramFile), gameProgram);
    }
    // Every log file there is, concatenated; empty when there is none.
    std::string log() const { return readLogs(home); }
    // Runs the program through start-up and shutdown with its window made
    // off screen and no update workflow, whose install folder cannot be
    // made under a file (its warnings would wait for a click): what runs
    // before the worker, and the shutdown.
    RunResult runWithoutWorkflow(std::map<std::string, std::string> env = {}) {
        const std::filesystem::path blocker = home.root() / "not-a-folder";
        if (!std::filesystem::exists(blocker)) writeFile(blocker, "x");
        env.emplace("QT_QPA_PLATFORM", "offscreen");
        env.emplace("XDG_DATA_HOME", blocker.string());
        return runProgram(gameProgram, {}, game, env);
    }
    TempHome home;
    std::filesystem::path game;
    std::filesystem::path gameProgram;
};

}  // namespace testsupport
