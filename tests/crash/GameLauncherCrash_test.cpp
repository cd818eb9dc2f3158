// The built program crashed on purpose through its test-only trigger: with
// a sender beside it, one report that carries the program's name, version,
// the upload address from setting.ini and the log as it was at the crash;
// without one, no report at all.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/GameFolder.h"

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

int crashProgram(const fs::path& program, const fs::path& dir, const char* way) {
    return testsupport::runForWaitStatus(program, {}, dir, {{"GL_TEST_CRASH", way}});
}

class GameLauncherCrash : public testsupport::GameFolderTest {
protected:
    void SetUp() override {
#ifndef GL_TEST_HOOKS
        GTEST_SKIP() << "built without GL_TEST_HOOKS: the program has no crash trigger";
#endif
        GameFolderTest::SetUp();
        reports = home.config() / "Keltora/morvel3/CrashReports";
    }
    fs::path reports;
};

TEST_F(GameLauncherCrash, ReportCarriesTheProgramsRecordAndItsLog) {
    const fs::path started = home.root() / "started";
    writeFile(game / "crashsender", "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + started.string() + ".tmp' && mv '" +
                                        started.string() + ".tmp' '" + started.string() + "'\n");
    fs::permissions(game / "crashsender", fs::perms::owner_all);
    writeFile(game / "setting.ini", "[CrashReport]\nUploadHost=127.0.0.1:8123\n");

    struct Case {
        const char* way;
        int signal;
    };
    for (const Case& c : {Case{"segv", SIGSEGV}, Case{"abort", SIGABRT}, Case{"terminate", SIGABRT},
                          Case{"fpe", SIGFPE}}) {
        SCOPED_TRACE(c.way);
        fs::remove_all(reports);
        fs::remove(started);
        const int status = crashProgram(game / "gamelauncher", game, c.way);
        ASSERT_TRUE(WIFSIGNALED(status)) << status;
        EXPECT_EQ(WTERMSIG(status), c.signal);

        std::vector<fs::path> folders;
        for (const auto& e : fs::directory_iterator(reports)) folders.push_back(e.path());
        ASSERT_EQ(folders.size(), 1u);
        const fs::path report = folders[0];
        EXPECT_TRUE(fs::exists(report / "complete"));
        const std::string text = readFile(report / "crash.txt");
        EXPECT_NE(text.find("\napp\tmorvel3_launcher\n"), std::string::npos) << text;
        EXPECT_NE(text.find("\nversion\t1.0.0.15\n"), std::string::npos);
        EXPECT_NE(text.find("\nurl\thttp://127.0.0.1:8123/index.php/crashReport/uploadExternal\n"), std::string::npos);
        EXPECT_NE(text.find("\nsignal\t" + std::to_string(c.signal) + "\t"), std::string::npos);

        // The log copy is the log as it was at the crash, under its own name.
        std::vector<fs::path> copies;
        for (const auto& e : fs::directory_iterator(report / "files")) copies.push_back(e.path());
        ASSERT_EQ(copies.size(), 1u);
        EXPECT_EQ(copies[0].filename().string().rfind("log_glauncher_", 0), 0u);
        const std::string copy = readFile(copies[0]);
        EXPECT_NE(copy.find("[CrashReport:900]test crash " + std::string(c.way) + "\r\n"), std::string::npos) << copy;
        EXPECT_NE(text.find("\nfile\t5\t" + std::to_string(copy.size()) + "\t"), std::string::npos) << text;
        EXPECT_NE(text.find("\t" + copies[0].filename().string() + "\tLogFile\n"), std::string::npos) << text;

        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!fs::exists(started) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(readFile(started), report.string() + "\n");
    }
}

TEST_F(GameLauncherCrash, WithoutTheSenderNoReportIsMade) {
    const int status = crashProgram(game / "gamelauncher", game, "segv");
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), SIGSEGV);
    EXPECT_FALSE(fs::exists(reports));
    EXPECT_NE(log().find("[CrashReport:65] startMainCRpt failed ERROR:"), std::string::npos);
}

}  // namespace
