// A test that runs the built program: a private HOME and a game folder that
// holds a copy of the program. Copied, not linked: the program finds its
// folder through /proc/self/exe, which resolves links.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/Process.h"
#include "support/LogReader.h"
#include "support/TempHome.h"

namespace testsupport {

class GameFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        game = home.root() / "game folder";
        std::filesystem::create_directories(game);
        std::filesystem::copy_file(builtProgram("gamelauncher"), game / "gamelauncher");
    }
    // Every log file there is, concatenated; empty when there is none.
    std::string log() const { return readLogs(home); }
    TempHome home;
    std::filesystem::path game;
};

}  // namespace testsupport
