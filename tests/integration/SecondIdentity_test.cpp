// Two games on one machine, each with the bootstrapper built with its own
// identity (the first from packaging/identity.cmake, the second from
// fixtures/identity/second.cmake): each updates from its own service into
// its own folders and starts its own launcher, while the other's launcher
// runs; neither's markers, pipe or folders are seen by the other.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/marker.h"
#include "support/GameFolder.h"
#include "support/LogReader.h"
#include "support/SampleLauncher.h"
#include "support/UpdateService.h"
#include "support/WaitUntil.h"

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

const std::map<std::string, std::string> kOffscreen{{"QT_QPA_PLATFORM", "offscreen"}};

struct Game {
    std::string name;
    fs::path folder;      // the game folder with its bootstrapper
    fs::path client;      // the installed launcher's client folder
    fs::path logFolder;   // the bootstrapper's log folder
    std::string launcherMarker;
    std::string version;  // what its service announces
    std::unique_ptr<testsupport::UpdateService> service;
};

class SecondIdentity : public ::testing::Test {
protected:
    void SetUp() override {
        first = setUpGame("first", "gamelauncher", "tools/sample-launcher/sample-launcher", "Keltora/morvel3", "MV3_LAUNCHER_KT", "2.0.0.0");
        second = setUpGame("second", "tests/gamelauncher-second", "tests/sample-launcher-second", "Brightmoor/tideline",
                           "TL_LAUNCHER", "3.0.0.0");
    }
    void TearDown() override {
        // The first game's launcher goes first: the helper waits for the
        // (first identity's) launcher marker to be free.
        EXPECT_EQ(testsupport::stopLaunchers(first.client), "");
        EXPECT_EQ(testsupport::stopLaunchers(second.client), "");
    }

    Game setUpGame(const std::string& name, const std::string& program, const std::string& launcher,
                   const std::string& productFolder, const std::string& marker, const std::string& version) {
        Game g;
        g.name = name;
        g.folder = home.root() / ("game " + name);
        g.client = home.data() / productFolder / "client";
        g.logFolder = home.config() / productFolder / "GameLauncher";
        g.launcherMarker = marker;
        g.version = version;
        fs::create_directories(g.folder);
        fs::copy_file(testsupport::builtProgram(program), g.folder / "gamelauncher");

        // A package of this game's own launcher.
        const fs::path stage = home.root() / ("stage " + name);
        const fs::path files = home.root() / ("files " + name);
        fs::create_directories(stage / "client");
        fs::create_directories(files);
        fs::copy_file(testsupport::builtProgram(launcher), stage / "client/launcher.exe");
        writeFile(stage / "client/sample-launcher.conf", "--no-window\n");
        const auto made = testsupport::runProgram(testsupport::builtProgram("tools/mkpackage/mkpackage"),
                                                  {stage.string(), version, (files / "client.zip").string()},
                                                  home.root());
        EXPECT_EQ(made.exitCode, 0) << made.output;

        g.service = std::make_unique<testsupport::UpdateService>(
            std::vector<std::string>{"--quiet", "--version", version, "--files", files.string(), "--package",
                                     "client.zip", "--events", (home.root() / ("events " + name)).string()});
        EXPECT_FALSE(g.service->base().empty());
        writeFile(g.folder / "launcher.ini", "[UPGRADE]\nSERVER_UPGRADE_0=" + g.service->base() + "\n");
        return g;
    }

    testsupport::RunResult start(const Game& g) {
        return testsupport::runProgram(g.folder / "gamelauncher", {}, g.folder, kOffscreen);
    }

    static std::string logOf(const Game& g) {
        std::string all;
        if (!fs::is_directory(g.logFolder)) return all;
        for (const auto& e : fs::directory_iterator(g.logFolder)) all += readFile(e.path());
        return all;
    }

    static bool held(const Game& g) {
        return platform::probeMarker(g.launcherMarker.c_str()) == platform::MarkerState::Held;
    }

    testsupport::TempHome home;
    Game first;
    Game second;
};

TEST_F(SecondIdentity, TwoGamesUpdateAndStartTheirOwnLaunchersBlindToEachOther) {
    ASSERT_FALSE(HasFailure());

    // The first game installs its launcher, which goes on running.
    const auto run1 = start(first);
    ASSERT_EQ(run1.exitCode, 0) << run1.output;
    ASSERT_TRUE(testsupport::waitLauncherStarts(first.client, 1));
    ASSERT_TRUE(testsupport::waitLauncherMarker(true));

    // The second game does not see it: it updates and starts its own.
    const auto run2 = start(second);
    ASSERT_EQ(run2.exitCode, 0) << run2.output;
    ASSERT_TRUE(testsupport::waitLauncherStarts(second.client, 1));
    EXPECT_TRUE(testsupport::waitUntil([&] { return held(second); }, std::chrono::seconds(20)));
    EXPECT_TRUE(held(first));

    // Each in its own folders, at its own service's version, under its own names.
    EXPECT_NE(readFile(first.client / "launcher.db").find("\"version\":\"2.0.0.0\""), std::string::npos);
    EXPECT_NE(readFile(second.client / "launcher.db").find("\"version\":\"3.0.0.0\""), std::string::npos);
    const std::string log1 = logOf(first);
    const std::string log2 = logOf(second);
    EXPECT_NE(log1.find("installCrashReport .\\ morvel3_launcher "), std::string::npos) << log1;
    EXPECT_NE(log2.find("installCrashReport .\\ tideline_launcher "), std::string::npos) << log2;
    EXPECT_NE(log2.find("[upgradeManager:386]launcherURL:" + second.service->base() + "files/client.zip"),
              std::string::npos)
        << log2;
    EXPECT_EQ(log2.find("Launcher exist"), std::string::npos) << "the second game saw the first's launcher\n" << log2;
    EXPECT_EQ(log2.find(first.client.string()), std::string::npos) << log2;
    EXPECT_EQ(log1.find(second.client.string()), std::string::npos) << log1;

    // The first game started again finds its own launcher running and hands
    // over to it (come forward, on its own pipe); the second's hears nothing.
    const auto again = start(first);
    ASSERT_EQ(again.exitCode, 0) << again.output;
    EXPECT_TRUE(testsupport::waitUntil(
        [&] { return !testsupport::launcherMessages(first.client).empty(); }, std::chrono::seconds(20)));
    EXPECT_EQ(testsupport::launcherMessages(first.client),
              std::vector<std::string>{"id=0x80 command=0 length=0 data="});
    EXPECT_TRUE(testsupport::launcherMessages(second.client).empty());
    EXPECT_EQ(testsupport::launcherStarts(first.client).size(), 1u);
    EXPECT_EQ(testsupport::launcherStarts(second.client).size(), 1u);
}

}  // namespace
