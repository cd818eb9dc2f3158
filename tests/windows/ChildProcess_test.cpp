// The test's child processes on Windows: a program of this system and a
// Linux program started by its "Z:\..." path under Wine.
#include "support/ChildProcess.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "support/TempHome.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testsupport::ChildOutput;
using testsupport::ChildProcess;

namespace {

const fs::path kCmd = "C:\\windows\\system32\\cmd.exe";

}  // namespace

TEST(ChildProcessWin, AWindowsProgramGetsItsFolderEnvironmentAndInputAndItsExitCodeComesBack) {
    testsupport::TempHome home;
    const fs::path folder = home.root() / "a folder";
    fs::create_directories(folder);
    ChildProcess child(kCmd, {"/v:on", "/c", "set", "/p", "line=", "&", "echo", "%GL_CHILD_VAR%&", "cd", "&", "echo",
                              "got", "!line!&", "exit", "7"},
                       testsupport::childIn(folder, {{"GL_CHILD_VAR", "some value"}}));
    ASSERT_TRUE(child.started());
    EXPECT_GT(child.pid(), 0);
    ASSERT_TRUE(child.writeLine("typed in"));
    // Wine's cmd keeps the blank after "&".
    EXPECT_EQ(child.readLine(), " some value");
    const auto cwd = child.readLine();
    ASSERT_TRUE(cwd);
    EXPECT_TRUE(fs::equivalent(*cwd, folder)) << *cwd;
    EXPECT_EQ(child.readLine(), "got typed in");
    EXPECT_EQ(child.readLine(), std::nullopt) << "the output ends with the program";
    EXPECT_EQ(child.wait(20s), 7);
    EXPECT_EQ(child.stop(), 7);
}

TEST(ChildProcessWin, ReadsAndWaitsEndOnTheirTimeOutAndKillEndsIt) {
    testsupport::TempHome home;
    ChildProcess child(kCmd, {"/c", "set", "/p", "line="}, home.root());
    ASSERT_TRUE(child.started());
    EXPECT_EQ(child.readLine(50ms), std::nullopt);
    EXPECT_EQ(child.wait(50ms), std::nullopt);
    EXPECT_TRUE(child.running());
    child.kill();
    EXPECT_FALSE(child.running());
    EXPECT_EQ(child.wait(0ms), -1) << "ended, not exited";
}

// The Linux programs of the tests (the update service) run this way.
TEST(ChildProcessWin, ALinuxProgramRunsWithOneArgumentPerArgumentAndItsExitCode) {
    testsupport::TempHome home;
    const fs::path folder = home.root() / "a folder";
    fs::create_directories(folder);
    ChildProcess child("Z:\\bin\\sh", {"-c", "printf '[%s]\\n' \"$@\"; pwd; echo \"$GL_CHILD_VAR\"; exit 5", "sh",
                                       "two words", "a \"quote\"", "back\\slash\\"},
                       testsupport::childIn(folder, {{"GL_CHILD_VAR", "some value"}}));
    ASSERT_TRUE(child.started());
    EXPECT_GT(child.pid(), 0);
    EXPECT_EQ(child.readLine(), "[two words]");
    EXPECT_EQ(child.readLine(), "[a \"quote\"]");
    EXPECT_EQ(child.readLine(), "[back\\slash\\]");
    const auto cwd = child.readLine();
    ASSERT_TRUE(cwd);
    // The Linux form of the folder, below the prefix's drive C:.
    EXPECT_EQ(fs::path(*cwd).filename(), "a folder");
    EXPECT_EQ(fs::path(*cwd).parent_path().filename(), home.root().filename());
    EXPECT_EQ(child.readLine(), "some value");
    EXPECT_EQ(child.readLine(), std::nullopt);
    EXPECT_EQ(child.wait(20s), 5);
}

TEST(ChildProcessWin, ALinuxProgramIsAskedToEndBySigterm) {
    testsupport::TempHome home;
    ChildProcess child("Z:\\bin\\sh", {"-c", "trap 'echo asked; exit 9' TERM; echo ready; while :; do sleep 1; done"},
                       home.root());
    ASSERT_TRUE(child.started());
    EXPECT_EQ(child.readLine(), "ready");
    EXPECT_EQ(child.wait(50ms), std::nullopt);
    EXPECT_EQ(child.stop(), 9);
    EXPECT_EQ(child.readLine(), "asked");
}
