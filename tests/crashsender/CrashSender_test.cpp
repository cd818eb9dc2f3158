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
#include "support/Fifo.h"
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

std::set<std::string> names(const fs::path& folder) {
    std::set<std::string> out;
    for (const auto& e : fs::directory_iterator(folder)) out.insert(e.path().filename().string());
    return out;
}

const std::set<std::string> kWholeUpload = {"app",  "version", "report", "crash.txt", "symbolized.txt",
                                            "maps", "log_glauncher_20261210.log", "upload.json"};

std::set<std::string> without(std::set<std::string> all, const std::string& left) {
    all.erase(left);
    return all;
}

class CrashSender : public ::testing::Test {
protected:
    void SetUp() override {
        report.frames =
            sendertest::codeRecord("frame", 0, reinterpret_cast<uint64_t>(&crashsendertest::reportedFunction));
    }
    // A run that has not ended after `timeoutSeconds` is killed and reports
    // exit code -1.
    testsupport::RunResult run(const std::vector<std::string>& args, std::map<std::string, std::string> env = {},
                               int timeoutSeconds = 120) {
        env.emplace("DISPLAY", "");
        env.emplace("WAYLAND_DISPLAY", "");
        env.emplace("QT_QPA_PLATFORM", "");
        env.emplace("GL_CRASHSENDER_ARGS", "");
        return testsupport::runProgram(testsupport::builtProgram("tools/crashsender/crashsender"), args,
                                       home.root(), env, timeoutSeconds);
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

// A FIFO where the sender expects a file would hold it for good if it were
// opened as one. Each run ends, and the piece in question is left out (or,
// for the description, the report refused); a run that hangs is ended by the
// time-out and fails.
TEST_F(CrashSender, AFifoInPlaceOfAFileDoesNotHoldTheSender) {
    testsupport::UpdateService service({"--quiet", "--crash-dir", store().string()});
    ASSERT_FALSE(service.base().empty());
    report.url = service.base() + kUploadPath;
    const fs::path program = home.root() / "bin" / "morvel3_launcher";
    struct Case {
        const char* what;
        fs::path fifo;
        int code;
        std::string message;
        std::set<std::string> stored;  // the upload's files; none when empty
    };
    const Case cases[] = {
        {"description", folder() / "crash.txt", 2,
         "Cannot read the crash description in " + folder().string() + ": it is not a regular file.", {}},
        {"memory map", folder() / "maps", 0, "The report was sent", without(kWholeUpload, "maps")},
        {"the symbolised text's temporary file", folder() / "symbolized.txt.tmp", 0, "The report was sent",
         kWholeUpload},
        {"the sent mark's temporary file", folder() / "sent.tmp", 0, "The report was sent", kWholeUpload},
        {"the program the description names", program, 0, "The report was sent", kWholeUpload},
        {"attached copy", folder() / "files" / "log_glauncher_20261210.log", 0, "The report was sent",
         without(kWholeUpload, "log_glauncher_20261210.log")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(folder());
        fs::remove_all(store());
        fs::remove_all(program.parent_path());
        report.exe = c.fifo == program ? program.string() : sendertest::ownExe();
        sendertest::writeReport(folder(), report);
        fs::remove(c.fifo);
        testsupport::makeFifo(c.fifo);
        const auto r = run({"--send", "--no-dialog", folder().string()}, {}, 60);
        EXPECT_EQ(r.exitCode, c.code) << r.output;
        EXPECT_NE(r.output.find(c.message), std::string::npos) << r.output;
        const auto uploads = folders(store());
        if (c.stored.empty()) {
            EXPECT_TRUE(uploads.empty());
            continue;
        }
        ASSERT_EQ(uploads.size(), 1u);
        EXPECT_EQ(names(uploads[0]), c.stored);
        EXPECT_EQ(readFile(folder() / "sent"), uploads[0].filename().string() + "\n");
        // Without the memory map the module cannot be placed, so no name.
        const std::string symbolised = readFile(folder() / "symbolized.txt");
        if (c.stored.count("maps") != 0) {
            EXPECT_NE(symbolised.find("crashsendertest::reportedFunction()"), std::string::npos) << symbolised;
        } else {
            EXPECT_NE(symbolised.find("Stack of the crashing thread:"), std::string::npos) << symbolised;
        }
        if (c.fifo == program) {
            EXPECT_NE(symbolised.find("Cannot read " + program.string() + ": it is not a regular file."),
                      std::string::npos)
                << symbolised;
        }
    }
}

// A link anywhere in the report is not followed: in place of files/ or of
// one file the rest of the report goes without it; in place of the
// description or of the folder itself there is no report to send.
TEST_F(CrashSender, LinksInTheReportFolderAreNotFollowed) {
    testsupport::UpdateService service({"--quiet", "--crash-dir", store().string()});
    ASSERT_FALSE(service.base().empty());
    report.url = service.base() + kUploadPath;
    const fs::path outside = home.root() / "outside";
    const fs::path elsewhere = home.root() / "elsewhere" / "20261210T120000Z-4242";
    struct Case {
        const char* what;
        fs::path link;    // replaced by a link to `target`
        fs::path target;  // in the outside folder, a copy of the report's own
        std::string named;  // how the folder is given to the sender
        int code;
        std::string message;
        std::set<std::string> stored;
    };
    const Case cases[] = {
        {"files/", folder() / "files", outside / "files", folder().string(), 0, "The report was sent",
         without(kWholeUpload, "log_glauncher_20261210.log")},
        {"maps", folder() / "maps", outside / "maps", folder().string(), 0, "The report was sent",
         without(kWholeUpload, "maps")},
        {"crash.txt", folder() / "crash.txt", outside / "crash.txt", folder().string(), 2,
         "Cannot read the crash description in " + folder().string() + ": a symbolic link is in its place.", {}},
        {"the report folder", folder(), elsewhere, folder().string(), 2,
         "Cannot open the report folder " + folder().string() + ": a symbolic link is in its place.", {}},
        {"the report folder, named with a trailing separator", folder(), elsewhere, folder().string() + "/", 2,
         "Cannot open the report folder " + folder().string() + ": a symbolic link is in its place.", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(folder());
        fs::remove_all(store());
        fs::remove_all(outside);
        fs::remove_all(elsewhere);
        // The outside copy is a whole report of its own, so whatever the
        // sender took through the link would be sent.
        sendertest::writeReport(outside, report);
        sendertest::writeReport(elsewhere, report);
        sendertest::writeReport(folder(), report);
        fs::remove_all(c.link);
        fs::create_symlink(c.target, c.link);
        const auto r = run({"--send", "--no-dialog", c.named});
        EXPECT_EQ(r.exitCode, c.code) << r.output;
        EXPECT_NE(r.output.find(c.message), std::string::npos) << r.output;
        const auto uploads = folders(store());
        if (c.stored.empty()) {
            EXPECT_TRUE(uploads.empty());
            EXPECT_FALSE(fs::exists(elsewhere / "symbolized.txt"));
            continue;
        }
        ASSERT_EQ(uploads.size(), 1u);
        EXPECT_EQ(names(uploads[0]), c.stored);
    }
}

// Each part goes no larger than the crash engine writes it or the sender
// reads it: an attached copy its last 1 MiB (the engine keeps a file's end),
// the description its first 4 MiB and the memory map its first 8 MiB (what
// the sender parses), and no more than the engine's 8 attachments.
TEST_F(CrashSender, EachPartIsBoundedAtTheEnginesLimits) {
    testsupport::UpdateService service({"--quiet", "--crash-dir", store().string()});
    ASSERT_FALSE(service.base().empty());
    report.url = service.base() + kUploadPath;
    constexpr std::size_t kMiB = 1u << 20;
    // Numbered lines, so that where a cut was made shows.
    auto numbered = [](const std::string& key, std::size_t bytes) {
        std::string out;
        for (std::size_t i = 0; out.size() < bytes; ++i) out += key + "\t" + std::to_string(i) + "\t" + std::string(200, 'x') + "\n";
        return out;
    };
    report.log = numbered("log", 3 * kMiB);
    // Nine more attachments of a few bytes each: one too many.
    for (int i = 1; i <= 9; ++i) report.extra += "file\t5\t4\t4\textra" + std::to_string(i) + ".log\tLogFile\n";
    // Records of a later format version, which the sender skips.
    report.extra += numbered("note", 5 * kMiB);
    const std::string description = sendertest::writeReport(folder(), report);
    for (int i = 1; i <= 9; ++i) testsupport::writeFile(folder() / "files" / ("extra" + std::to_string(i) + ".log"), "log\n");
    const std::string maps = sendertest::ownMaps() + numbered("00000000-00000000 r--p 00000000 00:00 0", 9 * kMiB);
    testsupport::writeFile(folder() / "maps", maps);

    const auto r = run({"--send", "--no-dialog", folder().string()});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    const auto uploads = folders(store());
    ASSERT_EQ(uploads.size(), 1u);
    const fs::path up = uploads[0];
    // Compared whole, but reported by size: a failure would print mebibytes.
    auto expectBytes = [&](const std::string& name, const std::string& expected) {
        const std::string stored = readFile(up / name);
        EXPECT_EQ(stored.size(), expected.size()) << name;
        EXPECT_TRUE(stored == expected) << name;
    };
    expectBytes("crash.txt", description.substr(0, 4 * kMiB));
    expectBytes("maps", maps.substr(0, 8 * kMiB));
    expectBytes("log_glauncher_20261210.log", report.log.substr(report.log.size() - kMiB));
    std::set<std::string> attached;
    for (const std::string& n : names(up)) {
        if (n.rfind("extra", 0) == 0) attached.insert(n);
    }
    EXPECT_EQ(attached, (std::set<std::string>{"extra1.log", "extra2.log", "extra3.log", "extra4.log",
                                               "extra5.log", "extra6.log", "extra7.log"}));
}

}  // namespace
