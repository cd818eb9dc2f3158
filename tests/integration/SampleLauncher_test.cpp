// The sample game launcher as the bootstrapper meets it: a real process
// that holds the launcher marker while it runs and serves the launcher pipe.
#include <gtest/gtest.h>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "gamelauncher/LauncherProtocol.h"
#include "platform/local_pipe.h"
#include "platform/marker.h"
#include "support/ChildProcess.h"
#include "support/Process.h"
#include "support/SampleLauncher.h"
#include "support/TempHome.h"
#include "support/WaitUntil.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::MarkerState;
using platform::PipeClient;
using testsupport::readFile;
using testsupport::waitUntil;

namespace {

const char* const kMarker = launcherprotocol::kLauncherMarker;
const char* const kPipe = launcherprotocol::kPipeName;
constexpr uint8_t kComeForward = launcherprotocol::kMsgComeForward;
constexpr uint8_t kQuit = launcherprotocol::kMsgQuit;

std::string message(uint8_t id, int32_t command = 0, const std::string& data = "") {
    const auto head = launcherprotocol::encodeHeader({id, command, static_cast<uint32_t>(data.size())});
    return std::string(head.begin(), head.end()) + data;
}

std::size_t lineCount(const fs::path& path) {
    const std::string text = readFile(path);
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

class SampleLauncherTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Installed as the bootstrapper finds it: client/launcher.exe. In
        // the test's own folder: on Windows data() is the profile's, shared
        // by every test.
        client = home.root() / "install" / "client";
        fs::create_directories(client);
        exe = client / "launcher.exe";
        fs::copy_file(testsupport::sampleLauncherProgram(), exe);
    }
    // Starts a launcher with `args` and waits until it serves (or, with
    // --no-pipe, holds its marker).
    std::unique_ptr<testsupport::ChildProcess> startLauncher(std::vector<std::string> args,
                                                             const std::map<std::string, std::string>& env = {}) {
        const fs::path ready = home.root() / ("ready" + std::to_string(++m_starts));
        args.insert(args.end(), {"--ready", ready.string()});
        auto p = std::make_unique<testsupport::ChildProcess>(exe, args, home.root(), env);
        EXPECT_TRUE(p->started());
        EXPECT_TRUE(waitUntil([&] { return fs::exists(ready) || p->wait(0ms).has_value(); }));
        EXPECT_TRUE(fs::exists(ready)) << readFile(client / "launcher.log");
        return p;
    }
    testsupport::TempHome home;
    fs::path client, exe;

private:
    int m_starts = 0;
};

}  // namespace

TEST_F(SampleLauncherTest, HoldsItsMarkerRecordsMessagesStaysOn0x80QuitsOn0x81) {
    auto launcher = startLauncher({"-gamepath=/games/My Game \"x\""});
    EXPECT_EQ(platform::probeMarker(kMarker), MarkerState::Held);
    EXPECT_EQ(readFile(client / "launcher.args"),
              "start pid=" + std::to_string(launcher->pid()) + " argc=1\nargv[1]=-gamepath=/games/My Game \"x\"\n");

    // Two clients one after the other, as two bootstrapper runs would be.
    {
        PipeClient pipe;
        ASSERT_EQ(pipe.open(kPipe, 300), PipeClient::OpenResult::Opened);
        ASSERT_TRUE(pipe.write(message(kComeForward).data(), 9));
        const std::string withData = message(0x7f, -5, std::string("\x01\x00\xff", 3));
        ASSERT_TRUE(pipe.write(withData.data(), withData.size()));
    }
    ASSERT_TRUE(waitUntil([&] { return lineCount(client / "launcher.messages") == 2; }));
    EXPECT_FALSE(launcher->wait(0ms)) << "0x80 must not end the launcher";
    EXPECT_EQ(platform::probeMarker(kMarker), MarkerState::Held);

    PipeClient pipe;
    ASSERT_EQ(pipe.open(kPipe, 300), PipeClient::OpenResult::Opened);
    ASSERT_TRUE(pipe.write(message(kQuit).data(), 9));
    EXPECT_EQ(launcher->wait(20s), 0);
    EXPECT_EQ(platform::probeMarker(kMarker), MarkerState::Free);
#ifndef _WIN32
    // Only a socket leaves a file behind; the system removes a named pipe.
    EXPECT_FALSE(fs::exists(home.runtime() / kPipe));
#endif
    EXPECT_EQ(readFile(client / "launcher.messages"),
              "id=0x80 command=0 length=0 data=\n"
              "id=0x7f command=-5 length=3 data=0100ff\n"
              "id=0x81 command=0 length=0 data=\n");
    EXPECT_NE(readFile(client / "launcher.log").find("quit: quit on 0x81"), std::string::npos);
}

TEST_F(SampleLauncherTest, ASecondLauncherExitsWhileTheFirstRuns) {
    auto first = startLauncher({});
    const auto second = testsupport::runProgram(exe, {"-gamepath=/second"}, home.root(), {}, 20);
    EXPECT_EQ(second.exitCode, 3);
    EXPECT_EQ(platform::probeMarker(kMarker), MarkerState::Held);
    // The first still serves.
    PipeClient pipe;
    EXPECT_EQ(pipe.open(kPipe, 300), PipeClient::OpenResult::Opened);
    EXPECT_EQ(first->stop(), 0);
    EXPECT_EQ(platform::probeMarker(kMarker), MarkerState::Free);
}

TEST_F(SampleLauncherTest, TestModes) {
    struct Case {
        const char* what;
        std::vector<std::string> args;
        std::string sendAfterStart;  // bytes written once it serves ("" = none)
        PipeClient::OpenResult open;  // what a client finds with a 300 ms wait
    };
    const Case cases[] = {
        {"ignores 0x81 until asked to end", {"--ignore-quit"}, message(kQuit), PipeClient::OpenResult::Opened},
        {"never serves the pipe", {"--no-pipe"}, "", PipeClient::OpenResult::NoInstance},
        {"a message longer than 8192 bytes is dropped", {}, message(kComeForward, 0, std::string(8193, 'x')),
         PipeClient::OpenResult::Opened},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto launcher = startLauncher(c.args);
        EXPECT_EQ(platform::probeMarker(kMarker), MarkerState::Held);
        if (!c.sendAfterStart.empty()) {
            PipeClient pipe;
            ASSERT_EQ(pipe.open(kPipe, 300), PipeClient::OpenResult::Opened);
            ASSERT_TRUE(pipe.write(c.sendAfterStart.data(), c.sendAfterStart.size()));
            ASSERT_TRUE(waitUntil([&] {
                const std::string log = readFile(client / "launcher.log");
                return log.find("message id=0x81") != std::string::npos || log.find("longer than") != std::string::npos;
            }));
        }
        EXPECT_FALSE(launcher->wait(0ms));
        PipeClient probe;
        EXPECT_EQ(probe.open(kPipe, 300), c.open);
        EXPECT_EQ(launcher->stop(), 0);
        EXPECT_EQ(platform::probeMarker(kMarker), MarkerState::Free);
        fs::remove(client / "launcher.log");
    }
}

TEST_F(SampleLauncherTest, PipeAfterADelayIsFoundByAPatientClient) {
    testsupport::ChildProcess launcher(exe, {"--pipe-after", "400"}, home.root(), {});
    ASSERT_TRUE(launcher.started());
    ASSERT_TRUE(waitUntil([] { return platform::probeMarker(kMarker) == MarkerState::Held; }));
    PipeClient pipe;
    EXPECT_EQ(pipe.open(kPipe, 20000), PipeClient::OpenResult::Opened);
    ASSERT_TRUE(pipe.write(message(kQuit).data(), 9));
    EXPECT_EQ(launcher.wait(20s), 0);
}

TEST_F(SampleLauncherTest, OptionsFromTheEnvironmentAndAFileBesideIt) {
    // The bootstrapper starts it with only "-gamepath=": tests steer it through
    // the environment or sample-launcher.conf.
    const fs::path messages = home.root() / "messages.txt";
    testsupport::writeFile(client / "sample-launcher.conf", "--messages " + messages.string() + "\n--ignore-quit\n");
    const fs::path args = home.root() / "args.txt";
    auto launcher = startLauncher({"-gamepath=/g"}, {{"SAMPLE_LAUNCHER_OPTIONS", "--args " + args.string()}});
    EXPECT_EQ(readFile(args), "start pid=" + std::to_string(launcher->pid()) + " argc=1\nargv[1]=-gamepath=/g\n");
    PipeClient pipe;
    ASSERT_EQ(pipe.open(kPipe, 300), PipeClient::OpenResult::Opened);
    ASSERT_TRUE(pipe.write(message(kQuit).data(), 9));
    ASSERT_TRUE(waitUntil([&] { return lineCount(messages) == 1; }));
    EXPECT_FALSE(launcher->wait(0ms)) << "--ignore-quit from the file";
    EXPECT_EQ(launcher->stop(), 0);

    const auto bad = testsupport::runProgram(exe, {"--no-such-option"}, home.root(), {}, 20);
    EXPECT_EQ(bad.exitCode, 2);
}
