// Crashes a program on purpose, once per way, and checks what the crash
// engine left: exactly one complete report folder, the sender started once
// with it, the process ended by the signal, and the crashing function named
// once the report's frames are symbolised with addr2line.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/Process.h"
#include "support/TempHome.h"

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

std::string run(const std::string& command) {
    std::string out;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe.get())) > 0) out.append(buf, n);
    return out;
}

std::vector<std::vector<std::string>> records(const std::string& text) {
    std::vector<std::vector<std::string>> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> fields;
        std::size_t start = 0;
        for (;;) {
            const std::size_t tab = line.find('\t', start);
            fields.push_back(line.substr(start, tab - start));
            if (tab == std::string::npos) break;
            start = tab + 1;
        }
        out.push_back(fields);
    }
    return out;
}

std::string field(const std::vector<std::vector<std::string>>& recs, const std::string& key, std::size_t index = 1) {
    for (const auto& r : recs)
        if (r[0] == key && r.size() > index) return r[index];
    return {};
}

// Function names of the report's frames that lie in `module`.
std::string symbolise(const std::vector<std::vector<std::string>>& recs, const fs::path& module) {
    std::string addresses;
    for (const auto& r : recs) {
        if ((r[0] != "frame" && r[0] != "scan") || r.size() < 6 || r[5] != module.string()) continue;
        unsigned long long offset = std::stoull(r[4], nullptr, 16);
        // Return addresses point after the call.
        if (!(r[0] == "frame" && r[1] == "0") && offset > 0) --offset;
        char hex[32];
        std::snprintf(hex, sizeof hex, " 0x%llx", offset);
        addresses += hex;
    }
    if (addresses.empty()) return {};
    return run("addr2line -f -C -e '" + module.string() + "'" + addresses);
}

class CrashFixture : public ::testing::Test {
protected:
    void SetUp() override {
        senderFolder = home.root() / "sender";
        invocations = home.root() / "invocations";
        fs::create_directories(senderFolder);
        fs::create_directories(invocations);
        // Records each start, one file per process, arguments one a line.
        writeFile(senderFolder / "crashsender",
                  "#!/bin/sh\nprintf '%s\\n' \"$0\" \"$@\" > '" + invocations.string() + "/'$$\n");
        fs::permissions(senderFolder / "crashsender", fs::perms::owner_all);
        reports = home.config() / "Keltora/morvel3/CrashReports";
    }

    // The sender runs on after the crashed process is gone: wait for its
    // record, bounded.
    std::vector<std::string> senderStarts() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        std::vector<std::string> out;
        while (std::chrono::steady_clock::now() < deadline) {
            out.clear();
            for (const auto& e : fs::directory_iterator(invocations)) {
                std::string text = readFile(e.path());
                if (!text.empty() && text.back() == '\n') out.push_back(text);
            }
            if (!out.empty()) return out;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return out;
    }

    std::vector<fs::path> reportFolders() const {
        std::vector<fs::path> out;
        if (fs::exists(reports))
            for (const auto& e : fs::directory_iterator(reports)) out.push_back(e.path());
        return out;
    }

    testsupport::TempHome home;
    fs::path senderFolder;
    fs::path invocations;
    fs::path reports;
};

struct Case {
    const char* way;
    int signal;
    const char* cause;
    const char* code;          // name of si_code, or "" for any
    const char* function;      // what the symbolised frames must name
    bool onWorker;             // the crashing thread is not the main one
    const char* exception = "";  // mangled type of the exception in flight
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.way; }

const Case kCases[] = {
    {"null", SIGSEGV, "signal", "SEGV_MAPERR", "crashNullWrite", false},
    {"abort", SIGABRT, "signal", "SI_TKILL", "crashAbort", false},
    {"terminate", SIGABRT, "terminate", "-", "crashTerminate", false},
    {"uncaught", SIGABRT, "terminate", "-", "crashUncaught", false, "St13runtime_error"},
    {"badalloc", SIGABRT, "terminate", "-", "crashAllocation", false, "St9bad_alloc"},
    {"purevirtual", SIGABRT, "terminate", "-", "crashPureCall", false},
    {"divzero", SIGFPE, "signal", "FPE_INTDIV", "crashDivide", false},
    {"overflow", SIGSEGV, "signal", "", "recurseForever", true},
    {"thread", SIGSEGV, "signal", "SEGV_MAPERR", "crashNullWrite", true},
    {"twothreads", SIGSEGV, "signal", "SEGV_MAPERR", "crashNullWrite", true},
};

class CrashCases : public CrashFixture, public ::testing::WithParamInterface<Case> {};

TEST_P(CrashCases, OneCompleteReportTheSenderStartedOnceAndTheSignalsStatus) {
    const Case& c = GetParam();
    const fs::path victim = GL_CRASH_VICTIM;
    // An attached file over the copy bound: the report keeps its last MiB.
    const fs::path log = home.root() / "big.log";
    std::string content;
    for (int i = 0; content.size() < 1536 * 1024; ++i) content += "line " + std::to_string(i) + "\n";
    writeFile(log, content);

    const int status = testsupport::runForWaitStatus(victim, {c.way, senderFolder.string() + "/./", log.string()}, home.root());
    ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status << (WIFEXITED(status) ? " exit " : " ")
                                     << (WIFEXITED(status) ? WEXITSTATUS(status) : 0);
    EXPECT_EQ(WTERMSIG(status), c.signal);

    const auto folders = reportFolders();
    ASSERT_EQ(folders.size(), 1u);
    const fs::path report = folders[0];
    EXPECT_TRUE(fs::exists(report / "complete"));
    EXPECT_EQ(fs::status(report).permissions() & fs::perms::all, fs::perms::owner_all);

    const auto starts = senderStarts();
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0], (senderFolder / "crashsender").string() + "\n" + report.string() + "\n");

    const auto recs = records(readFile(report / "crash.txt"));
    ASSERT_FALSE(recs.empty());
    EXPECT_EQ(recs.front(), (std::vector<std::string>{"format", "GLCRASH", "1"}));
    EXPECT_EQ(recs.back(), std::vector<std::string>{"end"});
    EXPECT_EQ(field(recs, "app"), "crash_victim");
    EXPECT_EQ(field(recs, "version"), "9.8.7.6");
    EXPECT_EQ(field(recs, "url"), "http://127.0.0.1:9/index.php/crashReport/uploadExternal");
    EXPECT_EQ(field(recs, "exe"), victim.string());
    EXPECT_EQ(field(recs, "signal"), std::to_string(c.signal));
    EXPECT_EQ(field(recs, "cause"), c.cause);
    if (c.code[0] != '\0') {
        EXPECT_EQ(field(recs, "code", 2), c.code);
    }
    EXPECT_EQ(field(recs, "flags"), "0x00005fff");
    EXPECT_EQ(field(recs, "exception"), c.exception);
    // The registers are the crashing thread's: its instruction pointer is
    // the first frame.
    std::string rip;
    for (const auto& r : recs)
        if (r[0] == "reg" && r[1] == "rip") rip = r[2];
    ASSERT_EQ(rip.size(), 18u);
    std::string frame0;
    for (const auto& r : recs)
        if (r[0] == "frame" && r[1] == "0") frame0 = r[2];
    EXPECT_EQ(rip, frame0);
    if (std::string(c.way) == "null") {
        EXPECT_EQ(field(recs, "address"), "0x0000000000000000");
    }

    // Threads: the crashing one is among them; a worker's crash names a
    // thread other than the process.
    std::vector<std::string> tasks;
    for (const auto& r : recs)
        if (r[0] == "task") tasks.push_back(r[1]);
    EXPECT_NE(std::find(tasks.begin(), tasks.end(), field(recs, "tid")), tasks.end());
    EXPECT_EQ(field(recs, "tid") != field(recs, "pid"), c.onWorker);
    if (c.onWorker) {
        EXPECT_GE(tasks.size(), 2u);
    }

    // The maps copy is the process's own.
    EXPECT_NE(readFile(report / "maps").find(victim.string()), std::string::npos);

    // The attached file: its last MiB, as the record says.
    const std::string copy = readFile(report / "files" / "big.log");
    EXPECT_EQ(copy, content.substr(content.size() - 1024 * 1024));
    bool fileRecord = false;
    for (const auto& r : recs)
        if (r[0] == "file") {
            fileRecord = true;
            EXPECT_EQ(r, (std::vector<std::string>{"file", "5", std::to_string(1024 * 1024),
                                                   std::to_string(content.size()), "big.log", "LogFile"}));
        }
    EXPECT_TRUE(fileRecord);

    const std::string symbols = symbolise(recs, victim);
    EXPECT_NE(symbols.find(c.function), std::string::npos) << symbols << readFile(report / "crash.txt");
}

TEST_F(CrashFixture, AFaultInsideTheHandlerEndsTheProcessAtOnce) {
    // The handler overflows its one-page stack into the guard page while
    // handling SIGSEGV: the process ends by that signal, with no complete
    // report, so no sender was started (it starts only after the mark).
    const int status = testsupport::runForWaitStatus(GL_CRASH_VICTIM, {"handlerfault", senderFolder.string()}, home.root());
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), SIGSEGV);
    for (const auto& folder : reportFolders()) EXPECT_FALSE(fs::exists(folder / "complete")) << folder;
}

INSTANTIATE_TEST_SUITE_P(EachWay, CrashCases, ::testing::ValuesIn(kCases),
                         [](const auto& param) { return std::string(param.param.way); });

}  // namespace
