// Processes die or misbehave under a player's update from 1.0.0.0 to
// 2.0.0.0: the program is killed (SIGKILL) during the download, during the
// unpack and while the hand-off to a running launcher waits, and the next
// run must end with the launcher 2.0.0.0 complete and started, with no
// marker, lock, socket or half-written file of the killed run in its way.
// Running launchers that take the pipe and never read it, or die right
// after 0x81, must not keep the program from ending or from updating.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "hostile/HostileGame.h"
#include "hostile/RawFileServer.h"
#include "support/ChildProcess.h"
#include "support/SampleLauncher.h"
#include "support/TempHome.h"
#include "support/TestData.h"
#include "support/WaitUntil.h"
#include "transfer/ResumeRecord.h"

namespace hostile {
namespace {

namespace fs = std::filesystem;
using testsupport::readFile;

constexpr uint64_t kPiece = 32768;

// What the program's runs get, as HostileGame::run gives it.
const std::map<std::string, std::string> kRunEnv{
    {"QT_QPA_PLATFORM", "offscreen"}, {"GL_TEST_BOXES", "1"}, {"SAMPLE_LAUNCHER_OPTIONS", "--no-window"}};

// The lines of a next run that finds the launcher damaged or old and
// installs 2.0.0.0.
const std::vector<std::string> kInstalledAndStarted{"[upgradeManager:386]launcherURL:",
                                                    "[upgradeManager:208]_ThreadCheckVersion END with start launcher.exe OK"};
// Nothing the killed run held may make the next one a second instance.
const std::vector<std::string> kNoInstanceLeft{"Instance Exist"};

class ProcessFaults : public HostileGame {
protected:
    // The program from the game folder, not waited for.
    std::unique_ptr<testsupport::ChildProcess> start(std::map<std::string, std::string> env = {}) {
        for (const auto& [name, value] : kRunEnv) env.emplace(name, value);
        auto child = std::make_unique<testsupport::ChildProcess>(game / "gamelauncher", std::vector<std::string>{},
                                                                  game, env);
        EXPECT_TRUE(child->started());
        return child;
    }
    // Waits (the log is another process's) until `part` has been logged.
    bool waitLogged(const std::string& part) {
        return testsupport::waitUntil([&] { return countLogged(part) > 0; }, std::chrono::seconds(60));
    }
    // SIGKILL, and the program must be gone.
    static void killProgram(testsupport::ChildProcess& program) {
        program.signal(SIGKILL);
        EXPECT_EQ(program.wait(std::chrono::seconds(30)), -1) << "it did not die by the signal";
        EXPECT_FALSE(program.running());
    }
    // The run after a kill, against the honest service: 2.0.0.0 installed
    // complete and started.
    void expectTheNextRunRepairs() {
        ASSERT_FALSE(publish("2.0.0.0", "client.zip").empty());
        writeLauncherIni({service()->base()});
        const std::size_t runsBefore = countLogged("[GameLauncher:31]GameLauncher Start");
        const auto next = run();
        expectOutcome(next, Expected().installs("2.0.0.0").logs(kInstalledAndStarted).logsNot(kNoInstanceLeft).shows({}));
        EXPECT_EQ(countLogged("[GameLauncher:31]GameLauncher Start"), runsBefore + 1);
        EXPECT_FALSE(fs::exists(stagingFolder())) << "the staging folder stays behind";
    }
    // client/launcher.exe of the installed 1.0.0.0, started by the test with
    // `options`; it holds the launcher's marker once this returns.
    std::unique_ptr<testsupport::ChildProcess> runningLauncher(std::vector<std::string> options) {
        options.push_back("--no-window");
        options.push_back("--ready");
        options.push_back((serverState() / "launcher.ready").string());
        fs::remove(serverState() / "launcher.ready");
        auto launcher = std::make_unique<testsupport::ChildProcess>(clientFolder() / "launcher.exe", options);
        EXPECT_TRUE(testsupport::waitForFile(serverState() / "launcher.ready"));
        EXPECT_TRUE(testsupport::waitLauncherMarker(true));
        return launcher;
    }
    // 2.0.0.0 published while a launcher started with `options` runs: it is
    // told to quit (0x81) and goes, and the run updates and starts the new
    // one. The old launcher, for the case's own checks.
    std::unique_ptr<testsupport::ChildProcess> updatePastALauncherThatQuits(std::vector<std::string> options) {
        EXPECT_FALSE(publish("2.0.0.0", "client.zip").empty());
        writeLauncherIni({service()->base()});
        auto launcher = runningLauncher(std::move(options));
        const auto result = run();
        expectOutcome(result, Expected()
                                  .installs("2.0.0.0")
                                  .logs({"[upgradeManager:727]pipe send message Success id:129 command:0",
                                         "[upgradeManager:772]Launcher quit already", "[upgradeManager:386]launcherURL:",
                                         "[upgradeManager:208]_ThreadCheckVersion END with start launcher.exe OK"})
                                  .shows({}));
        return launcher;
    }
};

TEST_F(ProcessFaults, KilledDuringTheDownloadTheNextRunInstallsTheUpdate) {
    // Piece 0 arrives; piece 1 stalls after its headers, for longer than the
    // test waits: the program is in the middle of the download.
    RawFileServer server(readFile(package()), RawFileServer::Fault::StallAfterHeaders, kPiece);
    writeWaitTime(60);
    ASSERT_FALSE(publish("2.0.0.0", "client.zip", {"--package-url", server.url(), "--md5", packageMd5()}).empty());
    writeLauncherIni({service()->base()});

    auto program = start();
    ASSERT_TRUE(testsupport::waitUntil([&] { return server.faultsCommitted() > 0; }, std::chrono::seconds(60)))
        << log();
    killProgram(*program);
    EXPECT_EQ(installedVersion(), "1.0.0.0");
    EXPECT_EQ(damagedFiles(), std::vector<std::string>{}) << "the download touched the installed launcher";

    writeWaitTime(5);
    expectTheNextRunRepairs();
}

// A download killed about half way continues in the next run from the
// record it left: the server is asked only for the pieces after those the
// record claims, and the package installs. When the server has another
// package by then, the next run starts over and installs that one whole.
class KilledHalfWayThroughALargePackage : public ProcessFaults, public ::testing::WithParamInterface<bool> {};

TEST_P(KilledHalfWayThroughALargePackage, TheNextRunContinuesOrStartsOver) {
    const bool packageChanged = GetParam();
    constexpr uint64_t kPieces = 128;
    // Bytes that do not compress, so that the package is as large as they are.
    const std::string blob = testsupport::patternBytes(kPieces * kPiece - 4000, 77u);
    const fs::path first = serverState() / "large-1.zip";
    const std::string firstMd5 = makePackage("2.0.0.0", first, {{"client/data/large.bin", blob}});
    ASSERT_EQ(firstMd5.size(), 32u);
    const std::string firstBody = readFile(first);
    const uint64_t pieces = (firstBody.size() + kPiece - 1) / kPiece;
    // The middle piece stalls once, for longer than the test waits.
    auto server =
        std::make_unique<RawFileServer>(firstBody, RawFileServer::Fault::StallAfterHeaders, pieces / 2 * kPiece, 1);
    writeWaitTime(60);
    ASSERT_FALSE(publish("2.0.0.0", "client.zip", {"--package-url", server->url(), "--md5", firstMd5}).empty());
    writeLauncherIni({service()->base()});

    const fs::path download = home.config() / "Keltora/morvel3/temp/client.upd";
    const std::wstring record = resumeRecordPath(download.wstring());
    auto program = start();
    ResumeRecord claimed;
    ASSERT_TRUE(testsupport::waitUntil(
        [&] { return server->faultsCommitted() > 0 && readResumeRecord(record, claimed) && claimed.written > kPiece; },
        std::chrono::seconds(60)))
        << log();
    killProgram(*program);
    ASSERT_TRUE(readResumeRecord(record, claimed));
    EXPECT_EQ(claimed.md5, firstMd5);
    EXPECT_EQ(installedVersion(), "1.0.0.0");

    std::string expectedMd5 = firstMd5;
    std::string servedBody = firstBody;
    if (packageChanged) {
        const fs::path second = serverState() / "large-2.zip";
        expectedMd5 =
            makePackage("2.0.0.0", second, {{"client/data/large.bin", testsupport::patternBytes(blob.size(), 78u)}});
        servedBody = readFile(second);
        server = std::make_unique<RawFileServer>(servedBody, RawFileServer::Fault::None, 0);
        ASSERT_FALSE(publish("2.0.0.0", "client.zip", {"--package-url", server->url(), "--md5", expectedMd5}).empty());
        writeLauncherIni({service()->base()});
    }
    const std::size_t before = server->requests().size();
    writeWaitTime(5);
    const auto next = run();
    const std::vector<std::string> lines{
        kInstalledAndStarted[0],
        packageChanged ? "[Loader:97]Resume record discarded filePath=" : "[Loader:92]Resume filePath=",
        kInstalledAndStarted[1]};
    expectOutcome(next, Expected().installs("2.0.0.0").logs(lines).logsNot(kNoInstanceLeft).shows({}));
    EXPECT_EQ(readFile(clientFolder() / "data/large.bin"),
              packageChanged ? testsupport::patternBytes(blob.size(), 78u) : blob)
        << "the installed file mixes two packages";
    EXPECT_FALSE(hasResumeRecord(download.wstring()));

    // The ranges this run asked for: from the record's claim on, or all.
    const auto all = server->requests();
    const uint64_t from = packageChanged ? 0 : claimed.written / kPiece;
    const uint64_t servedPieces = (servedBody.size() + kPiece - 1) / kPiece;
    std::vector<std::string> asked;
    for (std::size_t i = before; i < all.size(); ++i) {
        if (all[i].rfind("GET ", 0) == 0) asked.push_back(all[i]);
    }
    std::vector<std::string> expected;
    for (uint64_t p = from; p < servedPieces; ++p) {
        expected.push_back("GET " + std::to_string(p * kPiece) + "-" + std::to_string(p * kPiece + kPiece - 1));
    }
    std::sort(asked.begin(), asked.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(asked, expected);
    std::cout << (packageChanged ? "changed package: " : "same package: ") << "the killed run's record claimed "
              << claimed.written / kPiece << " of " << pieces << " pieces; the next run fetched " << asked.size()
              << "\n";
}

INSTANTIATE_TEST_SUITE_P(Package, KilledHalfWayThroughALargePackage, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& param) {
                             return param.param ? std::string("Changed") : std::string("Same");
                         });

TEST_F(ProcessFaults, KilledDuringTheUnpackTheNextRunInstallsTheUpdate) {
    ASSERT_FALSE(publish("2.0.0.0", "client.zip").empty());
    writeLauncherIni({service()->base()});

    // The program stops itself at the tenth file operation in the install
    // folder or beside it: a few writes into the unpacked launcher.
    auto program = start({{"GL_TEST_FILE_OP_SCOPE", (home.data() / "Keltora").string()},
                          {"GL_TEST_STOP_AT_FILE_OP", "10"}});
    ASSERT_TRUE(testsupport::waitUntil(
        [&] {
            const std::string stat = readFile("/proc/" + std::to_string(program->pid()) + "/stat");
            const std::size_t close = stat.rfind(')');
            return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'T';
        },
        std::chrono::seconds(60)))
        << "the program did not stop at the operation\n"
        << log();
    // It stopped inside the unpack: the package is being written beside the
    // installed launcher, which is still 1.0.0.0 and whole.
    EXPECT_TRUE(fs::is_directory(stagingFolder()));
    EXPECT_EQ(installedVersion(), "1.0.0.0");
    EXPECT_EQ(damagedFiles(), std::vector<std::string>{});
    EXPECT_EQ(countLogged("[upgradeManager:386]launcherURL:"), 1u);
    killProgram(*program);

    expectTheNextRunRepairs();
}

// The hand-off waits in two places: for a running launcher's pipe to open,
// and, after 0x81, for that launcher to quit.
struct HandOffWait {
    const char* name;
    std::vector<std::string> launcherOptions;
    const char* waitingLine;  // logged once the program waits there
};

void PrintTo(const HandOffWait& c, std::ostream* os) {
    *os << c.name;
}

class KilledWhileTheHandOffWaits : public ProcessFaults, public ::testing::WithParamInterface<HandOffWait> {};

TEST_P(KilledWhileTheHandOffWaits, TheNextRunInstallsTheUpdate) {
    const HandOffWait& c = GetParam();
    ASSERT_FALSE(publish("2.0.0.0", "client.zip").empty());
    writeLauncherIni({service()->base()});
    auto launcher = runningLauncher(c.launcherOptions);

    auto program = start();
    ASSERT_TRUE(waitLogged(c.waitingLine)) << log();
    killProgram(*program);
    EXPECT_EQ(installedVersion(), "1.0.0.0");
    EXPECT_EQ(damagedFiles(), std::vector<std::string>{});

    // The player closes the launcher that kept it waiting.
    launcher.reset();
    ASSERT_TRUE(testsupport::waitLauncherMarker(false));
    expectTheNextRunRepairs();
}

INSTANTIATE_TEST_SUITE_P(
    Process, KilledWhileTheHandOffWaits,
    ::testing::Values(HandOffWait{"ForThePipe", {"--no-pipe"}, "[upgradeManager:344] Init pipe failed"},
                      HandOffWait{"ForTheLauncherToQuit", {"--ignore-quit"}, "[upgradeManager:727]pipe send message Success id:129"}),
    [](const ::testing::TestParamInfo<HandOffWait>& param) { return std::string(param.param.name); });

TEST_F(ProcessFaults, ALauncherThatNeverReadsThePipeStillGetsTheHandOverAndTheProgramEnds) {
    // The service names the installed version: 0x80 to the running launcher.
    ASSERT_FALSE(publish("1.0.0.0", "client.zip").empty());
    writeLauncherIni({service()->base()});
    auto launcher = runningLauncher({"--no-read"});

    const auto result = run();
    expectOutcome(result, Expected()
                              .installs("1.0.0.0")
                              .starts(0)
                              .logs({"[upgradeManager:727]pipe send message Success id:128 command:0"})
                              .logsNot({"Instance Exist", "[upgradeManager:641]StartLauncher"})
                              .shows({}));
    EXPECT_TRUE(testsupport::waitLauncherMarker(true)) << "the launcher was left running";
    EXPECT_NE(readFile(clientFolder() / "launcher.log").find("not reading"), std::string::npos);
}

TEST_F(ProcessFaults, ALauncherThatNeverReadsThePipeButEndsLetsTheUpdateGoOn) {
    // It takes 0x81 unread and ends by itself a little later, as a launcher
    // busy with something else would.
    auto launcher = updatePastALauncherThatQuits({"--no-read", "--exit-after", "3000"});
    EXPECT_EQ(launcher->wait(std::chrono::seconds(20)), 0);
}

TEST_F(ProcessFaults, ALauncherThatDiesRightAfterQuitLeavesNothingInTheWay) {
    // It dies by SIGKILL on 0x81, its pipe's socket left behind: the update
    // goes on, and the new launcher serves the pipe in its place.
    auto launcher = updatePastALauncherThatQuits({"--die-on-quit"});
    EXPECT_EQ(launcher->wait(std::chrono::seconds(20)), -1) << "it was to die by the signal";
    ASSERT_TRUE(testsupport::waitLauncherMarker(true));
    // Both launchers log into the same file: the old one served first.
    ASSERT_TRUE(testsupport::waitUntil([&] {
        const std::string text = readFile(clientFolder() / "launcher.log");
        const std::size_t first = text.find("serving pipe");
        return first != std::string::npos && text.find("serving pipe", first + 1) != std::string::npos;
    }));

    // A run now hands over to the new launcher through that pipe.
    const auto handOver = run();
    expectOutcome(handOver, Expected()
                                .installs("2.0.0.0")
                                .starts(0)
                                .logs({"[upgradeManager:727]pipe send message Success id:128 command:0"})
                                .shows({}));
    ASSERT_TRUE(testsupport::waitUntil([&] {
        const auto messages = testsupport::launcherMessages(clientFolder());
        return !messages.empty() && messages.back() == "id=0x80 command=0 length=0 data=";
    }));
}

}  // namespace
}  // namespace hostile
