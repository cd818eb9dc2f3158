// The Windows crash sender with the engine: a program crashed on purpose
// with the real crashsender.exe beside it yields one stored upload in the
// Linux update service, the minidump among its parts; without --send
// nothing leaves the machine.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "crash/CrashReportFormat.h"
#include "support/LinuxPrograms.h"
#include "support/Process.h"
#include "support/TempHome.h"
#include "support/UpdateService.h"
#include "support/WaitUntil.h"

namespace fs = std::filesystem;
using testsupport::readFile;

namespace {

std::vector<fs::path> folders(const fs::path& root) {
    std::vector<fs::path> out;
    if (!fs::exists(root)) return out;
    for (const auto& e : fs::directory_iterator(root))
        if (e.is_directory()) out.push_back(e.path());
    return out;
}

class CrashSender : public ::testing::Test {
protected:
    void SetUp() override {
        senderFolder = home.root() / "game";
        fs::create_directories(senderFolder);
        fs::copy_file(GL_CRASHSENDER, senderFolder / "crashsender.exe");
        reports = home.config() / "Keltora/morvel3/CrashReports";
        store = home.root() / "uploads";
        log = home.root() / "game.log";
        testsupport::writeFile(log, "first line\nthe last line before the crash\n");
    }

    // Crashes the victim with the engine pointed at `service`, the sender
    // started with `senderArgs`.
    testsupport::RunResult crash(const testsupport::UpdateService& service, const std::string& senderArgs) {
        return testsupport::runProgram(
            GL_CRASH_VICTIM, {"null", senderFolder.string(), log.string()}, home.root(),
            {{"GL_VICTIM_UPLOAD_URL", "http://" + service.hostAndPort() + crashreport::kUploadPath},
             {"GL_CRASHSENDER_ARGS", senderArgs}},
            120);
    }

    testsupport::TempHome home;
    fs::path senderFolder, reports, store, log;
};

TEST_F(CrashSender, ACrashArrivesAtTheServiceWithItsLogAndMinidump) {
    testsupport::UpdateService service({"--quiet", "--crash-dir", testsupport::linuxPath(store)});
    ASSERT_FALSE(service.base().empty());
    const auto run = crash(service, "--send --no-dialog");
    EXPECT_EQ(static_cast<uint32_t>(run.exitCode), 0xC0000005u) << run.output;

    // The service renames an upload into place only when it is complete;
    // the sender writes "sent" last.
    ASSERT_TRUE(testsupport::waitUntil([&] { return folders(reports).size() == 1 && fs::exists(folders(reports)[0] / "sent"); },
                        std::chrono::seconds(60)))
        << run.output;
    const fs::path report = folders(reports)[0];
    const auto uploads = folders(store);
    ASSERT_EQ(uploads.size(), 1u);
    const fs::path up = uploads[0];
    EXPECT_EQ(readFile(up / "report"), report.filename().string());
    EXPECT_EQ(readFile(up / "app"), "crash_victim");
    EXPECT_EQ(readFile(up / "version"), "9.8.7.6");
    EXPECT_EQ(readFile(up / "crash.txt"), readFile(report / "crash.txt"));
    EXPECT_EQ(readFile(up / "maps"), readFile(report / "maps"));
    const std::string dump = readFile(report / "minidump.dmp");
    ASSERT_GT(dump.size(), 32u);
    EXPECT_EQ(dump.substr(0, 4), "MDMP");
    // Sent as binary, byte for byte.
    EXPECT_EQ(readFile(up / "minidump.dmp"), dump);
    EXPECT_EQ(readFile(up / "game.log"), readFile(log));
    const std::string symbols = readFile(up / "symbolized.txt");
    EXPECT_EQ(symbols, readFile(report / "symbolized.txt"));
    EXPECT_NE(symbols.find("EXCEPTION_ACCESS_VIOLATION"), std::string::npos) << symbols;
    EXPECT_NE(symbols.find("crash_victim.exe + 0x"), std::string::npos) << symbols;
}

TEST_F(CrashSender, WithoutSendNothingLeavesTheMachine) {
    testsupport::UpdateService service({"--quiet", "--crash-dir", testsupport::linuxPath(store)});
    ASSERT_FALSE(service.base().empty());
    crash(service, "--no-send --no-dialog");
    ASSERT_TRUE(testsupport::waitUntil(
        [&] { return folders(reports).size() == 1 && fs::exists(folders(reports)[0] / "symbolized.txt"); },
        std::chrono::seconds(60)));
    const fs::path report = folders(reports)[0];
    EXPECT_FALSE(fs::exists(report / "sent"));
    EXPECT_TRUE(folders(store).empty());
}

TEST_F(CrashSender, AnUnreachableServiceIsAFailedUploadNotAHang) {
    // Port 9 on loopback refuses at once: the sender says so and exits 1.
    const auto crashRun = testsupport::runProgram(GL_CRASH_VICTIM, {"null", senderFolder.string()}, home.root(),
                                                  {{"GL_CRASHSENDER_ARGS", "--no-send --no-dialog"}}, 120);
    ASSERT_TRUE(testsupport::waitUntil(
        [&] { return folders(reports).size() == 1 && fs::exists(folders(reports)[0] / "symbolized.txt"); },
        std::chrono::seconds(60)))
        << crashRun.output;
    const auto send = testsupport::runProgram(senderFolder / "crashsender.exe",
                                              {"--send", "--no-dialog", folders(reports)[0].string()}, home.root());
    EXPECT_EQ(send.exitCode, 1) << send.output;
    EXPECT_NE(send.output.find("upload to http://127.0.0.1:9/index.php/crashReport/uploadExternal failed"),
              std::string::npos)
        << send.output;
    EXPECT_FALSE(fs::exists(folders(reports)[0] / "sent"));
}

}  // namespace
