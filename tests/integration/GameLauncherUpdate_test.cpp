// The built program from a game folder against the real update service and
// a sample-launcher package: it installs and starts the launcher, starts it
// again without a download, hands over to one that runs, and a second start
// while the first instance runs ends at once.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/ChildProcess.h"
#include "support/GameFolder.h"
#include "support/LinuxPrograms.h"
#include "support/SampleLauncher.h"
#include "support/UpdateService.h"

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

// The window is drawn off screen: these runs end without a warning box.
const std::map<std::string, std::string> kOffscreen{{"QT_QPA_PLATFORM", "offscreen"}};

std::size_t countOf(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

class ProgramUpdate : public testsupport::GameFolderTest {
protected:
    void SetUp() override {
        if (!testsupport::wineHasDisplay()) {
            GTEST_SKIP() << "no X display for Wine's windows: DISPLAY is not set";
        }
        GameFolderTest::SetUp();
        client = home.data() / "Keltora/morvel3/client";
        md5 = testsupport::makeLauncherPackage(home.root() / "stage", "2.0.0.0", home.root() / "files/client.zip");
        ASSERT_EQ(md5.size(), 32u);
        service = std::make_unique<testsupport::UpdateService>(std::vector<std::string>{
            "--quiet", "--version", "2.0.0.0", "--files", testsupport::linuxPath(home.root() / "files"), "--package",
            "client.zip", "--events", testsupport::linuxPath(home.root() / "events.jsonl")});
        ASSERT_FALSE(service->base().empty());
        writeFile(game / "launcher.ini", "[UPGRADE]\nSERVER_UPGRADE_0=" + service->base() + "\n");
    }
    void TearDown() override {
        if (!client.empty()) {
            EXPECT_EQ(testsupport::stopLaunchers(client), "");
        }
    }

    // "event ver" of each recorded event.
    std::vector<std::string> events() const { return testsupport::recordedEvents(home.root() / "events.jsonl"); }
    // Waits until `part` has been logged `times` times; false after 30 s.
    bool waitLogged(const std::string& part, std::size_t times = 1) const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (countOf(log(), part) < times) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }

    fs::path client;
    std::string md5;
    std::unique_ptr<testsupport::UpdateService> service;
};

TEST_F(ProgramUpdate, UpdatesThenStartsWithoutDownloadThenHandsOver) {
    const std::string arg = "-gamepath=" + game.string();

    // First run: nothing installed; the package is fetched and its launcher started.
    auto first = testsupport::runProgram(gameProgram, {}, game, kOffscreen);
    ASSERT_EQ(first.exitCode, 0) << first.output;
    ASSERT_TRUE(testsupport::waitLauncherMarker(true));
    auto starts = testsupport::launcherStarts(client);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].args, std::vector<std::string>{arg});
    EXPECT_EQ(events(), (std::vector<std::string>{"GLHR_STR NotExist", "LHR_CHK 0.0.0.0", "LHR_UPD 2.0.0.0"}));
    EXPECT_EQ(countOf(log(), "[upgradeManager:386]launcherURL:"), 1u);
    EXPECT_NE(log().find("[GameLauncher:132]MessageLoop Quit\r\n"), std::string::npos) << log();

    // Second run, the launcher ended meanwhile: it is current, no download.
    EXPECT_EQ(testsupport::stopLaunchers(client), "");
    auto second = testsupport::runProgram(gameProgram, {}, game, kOffscreen);
    ASSERT_EQ(second.exitCode, 0) << second.output;
    ASSERT_TRUE(testsupport::waitLauncherMarker(true));
    starts = testsupport::launcherStarts(client);
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_EQ(starts[1].args, std::vector<std::string>{arg});
    EXPECT_EQ(countOf(log(), "[upgradeManager:386]launcherURL:"), 1u) << "no second download";
    const auto ev = events();
    ASSERT_EQ(ev.size(), 6u);
    EXPECT_EQ(ev[4], "LHR_CHK 2.0.0.0");
    EXPECT_EQ(ev[5], "LHR_UPD 2.0.0.0");

    // Third run while that launcher runs: 0x80 through its pipe, no new start.
    auto third = testsupport::runProgram(gameProgram, {}, game, kOffscreen);
    ASSERT_EQ(third.exitCode, 0) << third.output;
    ASSERT_TRUE(testsupport::waitForFile(client / "launcher.messages"));
    EXPECT_EQ(testsupport::launcherMessages(client), std::vector<std::string>{"id=0x80 command=0 length=0 data="});
    EXPECT_EQ(testsupport::launcherStarts(client).size(), 2u);
    EXPECT_NE(log().find("[upgradeManager:244]send Close Message Finish\r\n"), std::string::npos);
}

TEST_F(ProgramUpdate, WithoutTheServiceTheWarningComesFirstThenTheInstalledLauncherStarts) {
    auto install = testsupport::runProgram(gameProgram, {}, game, kOffscreen);
    ASSERT_EQ(install.exitCode, 0) << install.output;
    ASSERT_TRUE(testsupport::waitLauncherMarker(true));
    EXPECT_EQ(testsupport::stopLaunchers(client), "");

    // The service is gone; the player confirms every box.
    service.reset();
    auto env = kOffscreen;
    env.emplace("GL_TEST_BOXES", "1");
    const auto run = testsupport::runProgram(gameProgram, {}, game, env);
    ASSERT_EQ(run.exitCode, 0) << run.output;
    // String 104 only: the installed launcher then starts as usual.
    EXPECT_EQ(countOf(run.output, "[test box] "), 1u) << run.output;
    EXPECT_NE(run.output.find("[test box] \xe6\x97\xa0\xe6\xb3\x95\xe8\xa7\xa3\xe6\x9e\x90\xe7\x9a\x84\xe6\x9b\xb4\xe6"
                          "\x96\xb0\xe4\xbf\xa1\xe6\x81\xaf\xef\xbc\x8c\xe5\xbc\x95\xe5\xaf\xbc\xe7\xa8\x8b"
                          "\xe5\xba\x8f\xe6\x9b\xb4\xe6\x96\xb0\xe5\xa4\xb1\xe8\xb4\xa5\xef\xbc\x8c\xe8\xaf"
                          "\xb7\xe9\x87\x8d\xe8\xaf\x95"),
              std::string::npos)
        << run.output;
    ASSERT_TRUE(testsupport::waitLauncherStarts(client, 2));
    EXPECT_EQ(testsupport::launcherStarts(client)[1].args, std::vector<std::string>{"-gamepath=" + game.string()});
    EXPECT_NE(log().find("[GameLauncher:154]GameLauncher Exit "), std::string::npos);
}

TEST_F(ProgramUpdate, SecondStartWhileTheFirstRunsExitsAtOnce) {
    // The first instance waits for a launcher that never serves its pipe.
    auto install = testsupport::runProgram(gameProgram, {}, game, kOffscreen);
    ASSERT_EQ(install.exitCode, 0) << install.output;
    // The launcher it started records itself before it takes the marker.
    ASSERT_TRUE(testsupport::waitLauncherMarker(true));
    EXPECT_EQ(testsupport::stopLaunchers(client), "");
    fs::remove(client / "launcher.args");
    auto silent = std::make_unique<testsupport::ChildProcess>(client / "launcher.exe", std::vector<std::string>{"--no-pipe"});
    ASSERT_TRUE(testsupport::waitLauncherMarker(true));
    const std::size_t runsBefore = countOf(log(), "[GameLauncher:31]GameLauncher Start");
    testsupport::ChildProcess firstInstance(gameProgram, {}, game, kOffscreen);
    ASSERT_TRUE(waitLogged("[upgradeManager:344] Init pipe failed"));

    const auto second = testsupport::runProgram(gameProgram, {}, game, kOffscreen);
    EXPECT_EQ(second.exitCode, 0);
    const std::string text = log();
    EXPECT_EQ(countOf(text, "[GameLauncher:35]Instance Exist\r\n"), 1u) << text;
    EXPECT_EQ(countOf(text, "[GameLauncher:31]GameLauncher Start"), runsBefore + 2);

    // The silent launcher ends; the first instance goes on and finishes.
    silent.reset();
    EXPECT_EQ(firstInstance.wait(std::chrono::seconds(30)), 0);
    // The silent one and the one the first instance started; waited for, so
    // that the end of the test stops that one too.
    EXPECT_TRUE(testsupport::waitLauncherStarts(client, 2)) << "the first instance started no launcher";
    EXPECT_NE(log().find("[upgradeManager:812]Luncher not exist and continue \r\n"), std::string::npos);
}

}  // namespace
