// The built sender without a window: it symbolises the report into the
// folder, and with --send uploads it in one request that the update service
// stores whole; every failure is a non-zero exit with a clear message.
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <exception>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "SenderTestSupport.h"
#include "support/Process.h"
#include "support/TempHome.h"
#include "support/UpdateService.h"

namespace fs = std::filesystem;
using testsupport::readFile;

namespace crashsendertest {

__attribute__((noinline)) void reportedFunction() { asm volatile(""); }

}  // namespace crashsendertest

namespace {

constexpr const char* kUploadPath = "index.php/crashReport/uploadExternal";

std::vector<fs::path> folders(const fs::path& root) {
    std::vector<fs::path> out;
    if (!fs::exists(root)) return out;
    for (const auto& e : fs::directory_iterator(root)) out.push_back(e.path());
    return out;
}

class CrashSender : public ::testing::Test {
protected:
    void SetUp() override {
        report.frames =
            sendertest::codeRecord("frame", 0, reinterpret_cast<uint64_t>(&crashsendertest::reportedFunction));
    }
    testsupport::RunResult run(const std::vector<std::string>& args, std::map<std::string, std::string> env = {}) {
        env.emplace("DISPLAY", "");
        env.emplace("WAYLAND_DISPLAY", "");
        env.emplace("QT_QPA_PLATFORM", "");
        env.emplace("GL_CRASHSENDER_ARGS", "");
        return testsupport::runProgram(testsupport::builtProgram("tools/crashsender/crashsender"), args,
                                       home.root(), env, 120);
    }
    fs::path folder() const { return home.root() / "CrashReports" / "20261210T120000Z-4242"; }
    fs::path store() const { return home.root() / "uploads"; }

    testsupport::TempHome home;
    sendertest::Report report;
};

TEST_F(CrashSender, WithoutSendItOnlySymbolises) {
    report.url = "http://127.0.0.1:1/index.php/crashReport/uploadExternal";
    sendertest::writeReport(folder(), report);
    for (const auto& args : std::vector<std::vector<std::string>>{{"--no-send", "--no-dialog", folder().string()},
                                                                  {"--no-dialog", folder().string() + "/"}}) {
        fs::remove(folder() / "symbolized.txt");
        const auto r = run(args);
        EXPECT_EQ(r.exitCode, 0) << r.output;
        const std::string text = readFile(folder() / "symbolized.txt");
        EXPECT_NE(text.find("crashsendertest::reportedFunction() + 0x0 at "), std::string::npos) << text;
        EXPECT_NE(text.find("CrashSender_test.cpp:"), std::string::npos) << text;
        EXPECT_FALSE(fs::exists(folder() / "sent"));
    }
}

// Nothing leaves the machine before the user agreed: not even a build id
// sent to a debug-information server that the environment names.
TEST_F(CrashSender, SymbolisingAsksNoDebugInformationServer) {
    httplib::Server debuginfod;
    std::atomic<int> asked{0};
    debuginfod.Get(".*", [&](const httplib::Request&, httplib::Response& res) {
        ++asked;
        res.status = 404;
    });
    const int port = debuginfod.bind_to_any_port("127.0.0.1");
    std::thread serving([&] { debuginfod.listen_after_bind(); });
    // A frame in the C++ run-time, whose debug information is not installed.
    report.frames += sendertest::codeRecord("frame", 1, reinterpret_cast<uint64_t>(&std::terminate) + 1);
    report.url = "http://127.0.0.1:1/x";
    sendertest::writeReport(folder(), report);
    const auto r = run({"--no-send", "--no-dialog", folder().string()},
                       {{"DEBUGINFOD_URLS", "http://127.0.0.1:" + std::to_string(port)},
                        {"DEBUGINFOD_CACHE_PATH", (home.root() / "debuginfod-cache").string()}});
    debuginfod.stop();
    serving.join();
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(asked.load(), 0);
    EXPECT_NE(readFile(folder() / "symbolized.txt").find("std::terminate()"), std::string::npos);
}

TEST_F(CrashSender, SendUploadsTheWholeReportInOneRequest) {
    testsupport::UpdateService service({"--quiet", "--crash-dir", store().string()});
    ASSERT_FALSE(service.base().empty());
    report.url = service.base() + kUploadPath;
    // Binary bytes survive: the log may hold anything.
    report.log.clear();
    for (int i = 0; i < 70000; ++i) report.log.push_back(static_cast<char>((i * 7) % 256));
    const std::string description = sendertest::writeReport(folder(), report);

    // The options may come from the environment alone, as when the engine
    // starts the sender with nothing but the folder.
    const auto r = run({folder().string()}, {{"GL_CRASHSENDER_ARGS", " --send  --no-dialog "}});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    const auto uploads = folders(store());
    ASSERT_EQ(uploads.size(), 1u);
    const fs::path up = uploads[0];
    EXPECT_NE(r.output.find("The report was sent (id " + up.filename().string() + ")."), std::string::npos)
        << r.output;
    EXPECT_EQ(readFile(up / "app"), "morvel3_launcher");
    EXPECT_EQ(readFile(up / "version"), "1.0.0.15");
    EXPECT_EQ(readFile(up / "report"), "20261210T120000Z-4242");
    EXPECT_EQ(readFile(up / "crash.txt"), description);
    EXPECT_EQ(readFile(up / "symbolized.txt"), readFile(folder() / "symbolized.txt"));
    EXPECT_EQ(readFile(up / "maps"), readFile(folder() / "maps"));
    EXPECT_EQ(readFile(up / "log_glauncher_20261210.log"), report.log);
    // Sent as binary parts, each with its own name.
    const std::string manifest = readFile(up / "upload.json");
    EXPECT_NE(manifest.find("{\"name\":\"attachment\",\"filename\":\"log_glauncher_20261210.log\""),
              std::string::npos)
        << manifest;
    EXPECT_EQ(readFile(folder() / "sent"), up.filename().string() + "\n");
}

TEST_F(CrashSender, FailuresEndNonZeroWithAClearMessage) {
    // A service that answers 200 without accepting.
    httplib::Server refusing;
    refusing.Post("/" + std::string(kUploadPath), [](const httplib::Request&, httplib::Response& res) {
        res.set_content("{\"status\":0}", "application/json");
    });
    const int refusingPort = refusing.bind_to_any_port("127.0.0.1");
    std::thread refusingThread([&] { refusing.listen_after_bind(); });
    testsupport::UpdateService noCrashDir({"--quiet"});
    ASSERT_FALSE(noCrashDir.base().empty());

    struct Case {
        const char* what;
        std::string url;
        std::string message;
    };
    const Case cases[] = {
        {"nobody listening", "http://127.0.0.1:1/" + std::string(kUploadPath), "The report could not be sent: "},
        {"service without crash uploads", noCrashDir.base() + kUploadPath,
         "The crash service refused the report (HTTP 404)."},
        {"service refusing", "http://127.0.0.1:" + std::to_string(refusingPort) + "/" + kUploadPath,
         "The crash service did not accept the report (answer: {\"status\":0})."},
        {"no address", "", "The upload address is not an http or https address: \"\"."},
        {"another scheme", "file:///etc/passwd", "is not an http or https address"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        report.url = c.url;
        sendertest::writeReport(folder(), report);
        const auto r = run({"--send", "--no-dialog", folder().string()});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.output.find("crashsender: upload to " + c.url + " failed: "), std::string::npos) << r.output;
        EXPECT_NE(r.output.find(c.message), std::string::npos) << r.output;
        EXPECT_FALSE(fs::exists(folder() / "sent"));
        EXPECT_TRUE(fs::exists(folder() / "symbolized.txt"));
    }
    refusing.stop();
    refusingThread.join();
}

TEST_F(CrashSender, UsageAndUnreadableReports) {
    report.url = "http://127.0.0.1:1/x";
    sendertest::writeReport(folder(), report);
    fs::create_directories(home.root() / "empty");
    testsupport::writeFile(home.root() / "bad" / "crash.txt", "not a report\n");
    struct Case {
        const char* what;
        std::vector<std::string> args;
        int code;
        std::string message;
    };
    const Case cases[] = {
        {"no folder", {"--no-dialog"}, 2, "crashsender: no report folder given"},
        {"unknown option", {"--quiet", folder().string()}, 2, "crashsender: unknown option --quiet"},
        {"two folders", {folder().string(), folder().string()}, 2, "more than one report folder"},
        {"send and no-send", {"--send", "--no-send", folder().string()}, 2, "exclude each other"},
        {"no description", {"--no-dialog", (home.root() / "empty").string()}, 2, "Cannot read the crash description in"},
        {"unknown format", {"--no-dialog", (home.root() / "bad").string()}, 2, "not in a format this sender knows"},
        {"dialog without a display", {folder().string()}, 3, "no display to ask whether to send"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto r = run(c.args);
        EXPECT_EQ(r.exitCode, c.code) << r.output;
        EXPECT_NE(r.output.find(c.message), std::string::npos) << r.output;
    }
}

TEST_F(CrashSender, SendsOnlyPlainFilesOfTheReportFolder) {
    testsupport::UpdateService service({"--quiet", "--crash-dir", store().string()});
    ASSERT_FALSE(service.base().empty());
    report.url = service.base() + kUploadPath;
    // The attached copy is a link to a file outside the report: not sent.
    report.logName.clear();
    report.extra = "file\t5\t6\t6\tlinked.log\tLogFile\nfile\t5\t6\t6\t../secret\tLogFile\n";
    sendertest::writeReport(folder(), report);
    testsupport::writeFile(home.root() / "secret", "secret");
    fs::create_symlink(home.root() / "secret", folder() / "files" / "linked.log");
    const auto r = run({"--send", "--no-dialog", folder().string()});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    const auto uploads = folders(store());
    ASSERT_EQ(uploads.size(), 1u);
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(uploads[0])) names.insert(e.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{"app", "version", "report", "crash.txt", "symbolized.txt", "maps",
                                            "upload.json"}));
}

}  // namespace
