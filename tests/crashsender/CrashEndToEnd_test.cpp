// End to end: the built program, with the sender beside it and the crash
// upload pointed at the local update service through setting.ini, crashed on
// purpose by its test-only trigger, yields exactly one stored upload that
// holds the report, its symbolised text and the log as it was at the crash.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/GameFolder.h"
#include "support/Process.h"
#include "support/TempHome.h"
#include "support/UpdateService.h"

namespace fs = std::filesystem;
using testsupport::readFile;

namespace {

// Unused in the builds that skip the test.
[[maybe_unused]] std::vector<fs::path> folders(const fs::path& root) {
    std::vector<fs::path> out;
    if (!fs::exists(root)) return out;
    for (const auto& e : fs::directory_iterator(root)) {
        if (e.is_directory()) out.push_back(e.path());
    }
    return out;
}

// Polls `root` until `count` folders are there; false after `timeout`. The
// service renames an upload into place only when it is complete.
[[maybe_unused]] bool waitForFolders(const fs::path& root, std::size_t count, std::chrono::seconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (folders(root).size() < count) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

using CrashEndToEnd = testsupport::GameFolderTest;

TEST_F(CrashEndToEnd, ACrashOfTheProgramArrivesAtTheServiceWithItsLog) {
#if !defined(GL_TEST_HOOKS)
    GTEST_SKIP() << "the program is built without its test-only crash trigger (GL_TEST_HOOKS=OFF)";
#elif defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "sanitizers own the fatal signals; the crash path is tested in plain builds";
#else
    const fs::path store = home.root() / "uploads";
    testsupport::UpdateService service({"--quiet", "--crash-dir", store.string()});
    ASSERT_FALSE(service.base().empty());
    fs::copy_file(testsupport::builtProgram("tools/crashsender/crashsender"), game / "crashsender");
    testsupport::writeFile(game / "setting.ini", "[CrashReport]\r\nUploadHost=" + service.hostAndPort() + "\r\n");

    const auto run = testsupport::runProgram(game / "gamelauncher", {}, game,
                                             {{"GL_TEST_CRASH", "segv"},
                                              {"GL_CRASHSENDER_ARGS", "--send --no-dialog"},
                                              {"DISPLAY", ""},
                                              {"WAYLAND_DISPLAY", ""}},
                                             120);
    EXPECT_EQ(run.exitCode, -1) << "the program should have died of its signal\n" << run.output;
    ASSERT_TRUE(waitForFolders(store, 1, std::chrono::seconds(60))) << run.output << log();

    // One crash, one report, one upload.
    const auto reports = folders(home.config() / "Keltora/morvel3/CrashReports");
    ASSERT_EQ(reports.size(), 1u);
    const fs::path report = reports[0];
    const auto uploads = folders(store);
    ASSERT_EQ(uploads.size(), 1u);
    const fs::path up = uploads[0];

    EXPECT_EQ(readFile(up / "report"), report.filename().string());
    EXPECT_EQ(readFile(up / "app"), "morvel3_launcher");
    EXPECT_EQ(readFile(up / "version"), "1.0.0.15");
    const std::string description = readFile(report / "crash.txt");
    EXPECT_EQ(readFile(up / "crash.txt"), description);
    EXPECT_NE(description.find("url\thttp://" + service.hostAndPort() + "/index.php/crashReport/uploadExternal\n"),
              std::string::npos)
        << description;
    EXPECT_EQ(readFile(up / "maps"), readFile(report / "maps"));

    // The log as it was at the crash, with the trigger's own line last.
    std::string logName;
    for (const auto& e : fs::directory_iterator(report / "files")) logName = e.path().filename().string();
    ASSERT_EQ(logName.rfind("log_glauncher_", 0), 0u) << logName;
    const std::string logCopy = readFile(up / logName);
    EXPECT_EQ(logCopy, readFile(report / "files" / logName));
    EXPECT_NE(logCopy.find("[CrashReport:900]test crash segv"), std::string::npos) << logCopy;

    // Symbolised from the program's own file: the crashing function is named.
    const std::string symbols = readFile(up / "symbolized.txt");
    EXPECT_EQ(symbols, readFile(report / "symbolized.txt"));
    EXPECT_NE(symbols.find("runCrashTestHook()"), std::string::npos) << symbols;
    EXPECT_NE(symbols.find("SIGSEGV"), std::string::npos);
    // The build id recorded at the crash is the one of the file on disk.
    EXPECT_NE(description.find("\nbuildid\t"), std::string::npos) << description;
    EXPECT_NE(symbols.find("Build id of " + (game / "gamelauncher").string() + " matches: "), std::string::npos)
        << symbols;
    EXPECT_EQ(symbols.find("WARNING"), std::string::npos) << symbols;
    EXPECT_TRUE(fs::exists(report / "sent"));
#endif
}

}  // namespace
