// The Windows game folder with the program in it: laid out by `cmake
// --install` or unpacked from the cpack ZIP, it updates against the Linux
// update service and starts the sample launcher; crashed through its test
// trigger, with the real sender beside it, it yields one stored upload,
// whose report names the crashing function once symbolised on Linux.
// Built only where the program itself is built for Windows.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "foundation/ZipUtil.h"
#include "platform/text.h"
#include "support/LinuxPrograms.h"
#include "support/LogReader.h"
#include "support/Process.h"
#include "support/SampleLauncher.h"
#include "support/TempHome.h"
#include "support/UpdateService.h"
#include "support/WaitUntil.h"

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

std::vector<fs::path> folders(const fs::path& root) {
    std::vector<fs::path> out;
    if (!fs::exists(root)) return out;
    for (const auto& e : fs::directory_iterator(root))
        if (e.is_directory()) out.push_back(e.path());
    return out;
}

class GameLauncherWin : public ::testing::Test {
protected:
    // The game folder as `cmake --install` lays it out.
    void install() {
        const auto r = testsupport::runProgram(
            GL_WINE_CMAKE,
            {"--install", testsupport::linuxPath(GL_TEST_BINARY_DIR), "--prefix", testsupport::linuxPath(game)},
            home.root(), {}, 120);
        ASSERT_EQ(r.exitCode, 0) << r.output;
    }

    // The game folder unpacked from the cpack ZIP.
    void unpackZip() {
        const fs::path out = home.root() / "cpack";
        const auto made = testsupport::runProgram(
            GL_WINE_CPACK,
            {"-G", "ZIP", "--config", testsupport::linuxPath(fs::path(GL_TEST_BINARY_DIR) / "CPackConfig.cmake"),
             "-B", testsupport::linuxPath(out)},
            home.root(), {}, 180);
        ASSERT_EQ(made.exitCode, 0) << made.output;
        const fs::path zip = out / (std::string("gamelauncher-") + GL_PROJECT_VERSION + "-Windows-x86_64.zip");
        fs::create_directories(game);
        ASSERT_EQ(getZipUtil()->UnZipFile(platform::utf8ToWide(zip.string()).c_str(),
                                          platform::utf8ToWide(game.string() + "\\").c_str()),
                  kZipOk);
    }

    void updatesAndStartsTheLauncher() {
        const fs::path client = home.data() / "Keltora/morvel3/client";
        const std::string md5 =
            testsupport::makeLauncherPackage(home.root() / "stage", "2.0.0.0", home.root() / "files/client.zip");
        ASSERT_EQ(md5.size(), 32u);
        const fs::path events = home.root() / "events.jsonl";
        testsupport::UpdateService service({"--quiet", "--version", "2.0.0.0", "--files",
                                            testsupport::linuxPath(home.root() / "files"), "--package", "client.zip",
                                            "--events", testsupport::linuxPath(events)});
        ASSERT_FALSE(service.base().empty());
        // The installed file names the maker's service; here the local one.
        writeFile(game / "launcher.ini", "[UPGRADE]\r\nSERVER_UPGRADE_0=" + service.base() + "\r\n");

        const auto run = testsupport::runProgram(game / "gamelauncher.exe", {}, game, {}, 120);
        EXPECT_EQ(run.exitCode, 0) << run.output;
        ASSERT_TRUE(testsupport::waitLauncherMarker(true));
        const auto starts = testsupport::launcherStarts(client);
        EXPECT_EQ(testsupport::stopLaunchers(client), "");
        ASSERT_EQ(starts.size(), 1u);
        EXPECT_EQ(starts[0].args, std::vector<std::string>{"-gamepath=" + game.string()});
        const std::string recorded = readFile(events);
        EXPECT_NE(recorded.find("\"event\":\"LHR_UPD\",\"sid\":\"0\",\"ver\":\"2.0.0.0\""), std::string::npos)
            << recorded;
        const std::string log = testsupport::readLogs(home);
        EXPECT_NE(log.find("[CrashReport:23] installCrashReport"), std::string::npos) << log;
        EXPECT_EQ(log.find("startMainCRpt failed"), std::string::npos) << "the crash sender beside it is found\n" << log;
    }

    testsupport::TempHome home;
    fs::path game = home.root() / "My Game";
};

TEST_F(GameLauncherWin, TheInstalledTreeUpdatesAndStartsTheLauncher) {
    install();
    updatesAndStartsTheLauncher();
}

TEST_F(GameLauncherWin, TheUnpackedZipUpdatesAndStartsTheLauncher) {
    unpackZip();
    updatesAndStartsTheLauncher();
}

TEST_F(GameLauncherWin, ACrashOfTheProgramArrivesAtTheServiceWithItsLog) {
    install();
    const fs::path store = home.root() / "uploads";
    testsupport::UpdateService service({"--quiet", "--crash-dir", testsupport::linuxPath(store)});
    ASSERT_FALSE(service.base().empty());
    writeFile(game / "setting.ini", "[CrashReport]\r\nUploadHost=" + service.hostAndPort() + "\r\n");

    const auto run = testsupport::runProgram(game / "gamelauncher.exe", {}, game,
                                             {{"GL_TEST_CRASH", "segv"}, {"GL_CRASHSENDER_ARGS", "--send --no-dialog"}},
                                             120);
    EXPECT_EQ(static_cast<uint32_t>(run.exitCode), 0xC0000005u) << run.output;
    const fs::path reports = home.config() / "Keltora/morvel3/CrashReports";
    ASSERT_TRUE(testsupport::waitUntil([&] { return folders(reports).size() == 1 && fs::exists(folders(reports)[0] / "sent"); },
                        std::chrono::seconds(90)))
        << run.output;
    const fs::path report = folders(reports)[0];
    const auto uploads = folders(store);
    ASSERT_EQ(uploads.size(), 1u);
    const fs::path up = uploads[0];
    EXPECT_EQ(readFile(up / "report"), report.filename().string());
    EXPECT_EQ(readFile(up / "app"), "morvel3_launcher");
    EXPECT_EQ(readFile(up / "version"), "1.0.0.15");
    EXPECT_EQ(readFile(up / "crash.txt"), readFile(report / "crash.txt"));
    EXPECT_EQ(readFile(up / "minidump.dmp"), readFile(report / "minidump.dmp"));
    std::string logName;
    for (const auto& e : fs::directory_iterator(report / "files")) logName = e.path().filename().string();
    ASSERT_EQ(logName.rfind("log_glauncher_", 0), 0u) << logName;
    EXPECT_EQ(readFile(up / logName), readFile(report / "files" / logName));
    EXPECT_NE(readFile(up / logName).find("[CrashReport:900]test crash segv"), std::string::npos);

    // Named on Linux from the program as built (the installed copy is the same file).
    const auto symbols = testsupport::runProgram(
        "Z:\\bin\\sh",
        {testsupport::linuxPath(fs::path(GL_TEST_SOURCE_DIR) / "tools/crash-symbolise/symbolise-windows-report"),
         testsupport::linuxPath(report), testsupport::linuxPath(GL_GAMELAUNCHER)},
        home.root());
    EXPECT_EQ(symbols.exitCode, 0) << symbols.output;
    EXPECT_NE(symbols.output.find("runCrashTestHook"), std::string::npos) << symbols.output;
}

}  // namespace
