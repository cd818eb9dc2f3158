// Crashes a program on purpose under Windows, once per way, and checks what
// the crash engine left: exactly one complete report folder, the sender
// started once with it, the process's exit code, a minidump whose exception
// names the crashing thread and address, and the crashing function named
// once the report is symbolised on Linux from the unstripped program.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/LinuxPrograms.h"
#include "support/Process.h"
#include "support/TempHome.h"

namespace fs = std::filesystem;
using testsupport::readFile;

namespace {

using Records = std::vector<std::vector<std::string>>;

Records records(const std::string& text) {
    Records out;
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

std::string field(const Records& recs, const std::string& key, std::size_t index = 1) {
    for (const auto& r : recs)
        if (r[0] == key && r.size() > index) return r[index];
    return {};
}

std::string hex16(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%016llx", static_cast<unsigned long long>(value));
    return text;
}

// What the test reads of a minidump: the header, the thread list and the
// exception stream, by their documented layout.
struct Minidump {
    bool valid = false;
    std::vector<uint32_t> threadIds;
    bool hasException = false;
    uint32_t exceptionThread = 0;
    uint32_t exceptionCode = 0;
    uint64_t exceptionAddress = 0;
};

template <typename T>
bool readAt(const std::string& bytes, uint64_t offset, T& out) {
    if (offset > bytes.size() || bytes.size() - offset < sizeof(T)) return false;
    std::memcpy(&out, bytes.data() + offset, sizeof(T));
    return true;
}

Minidump parseMinidump(const std::string& bytes) {
    Minidump d;
    uint32_t signature = 0, version = 0, streams = 0, directory = 0;
    if (!readAt(bytes, 0, signature) || signature != 0x504D444D /* "MDMP" */) return d;
    if (!readAt(bytes, 4, version) || (version & 0xFFFF) != 0xA793) return d;
    if (!readAt(bytes, 8, streams) || !readAt(bytes, 12, directory)) return d;
    d.valid = true;
    for (uint32_t i = 0; i < streams; ++i) {
        uint32_t type = 0, size = 0, rva = 0;
        const uint64_t entry = directory + uint64_t{i} * 12;
        if (!readAt(bytes, entry, type) || !readAt(bytes, entry + 4, size) || !readAt(bytes, entry + 8, rva)) break;
        if (type == 3) {  // ThreadListStream: a count, then 48-byte entries led by the thread id
            uint32_t count = 0;
            if (!readAt(bytes, rva, count)) continue;
            for (uint32_t t = 0; t < count; ++t) {
                uint32_t id = 0;
                if (readAt(bytes, rva + 4 + uint64_t{t} * 48, id)) d.threadIds.push_back(id);
            }
        } else if (type == 6) {  // ExceptionStream: thread id, padding, then the exception record
            d.hasException = readAt(bytes, rva, d.exceptionThread) && readAt(bytes, rva + 8, d.exceptionCode) &&
                             readAt(bytes, rva + 24, d.exceptionAddress);
        }
    }
    return d;
}

class CrashFixture : public ::testing::Test {
protected:
    void SetUp() override {
        senderFolder = home.root() / "sender";
        invocations = home.root() / "invocations";
        fs::create_directories(senderFolder);
        fs::create_directories(invocations);
        fs::copy_file(GL_FAKE_SENDER, senderFolder / "crashsender.exe");
        reports = home.config() / "Keltora/morvel3/CrashReports";
    }

    testsupport::RunResult crash(const std::vector<std::string>& args) {
        return testsupport::runProgram(GL_CRASH_VICTIM, args, home.root(),
                                       {{"GL_FAKE_SENDER_RECORDS", invocations.string()}}, 120);
    }

    // The sender runs on after the crashed process is gone: wait for its
    // record, bounded.
    std::vector<std::string> senderStarts(int seconds = 20) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        std::vector<std::string> out;
        for (;;) {
            out.clear();
            for (const auto& e : fs::directory_iterator(invocations))
                if (e.path().extension() != ".part") out.push_back(readFile(e.path()));
            if (!out.empty() || std::chrono::steady_clock::now() >= deadline) return out;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
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
    uint32_t exitCode;
    int signal;
    const char* cause;
    const char* code;            // name of the exception code
    const char* function;        // what the symbolised frames must name
    bool onWorker;               // the crashing thread is not the first one
    const char* exception = "";  // mangled type of the exception in flight
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.way; }

const Case kCases[] = {
    {"null", 0xC0000005, 11, "exception", "EXCEPTION_ACCESS_VIOLATION", "crashNullWrite", false},
    {"illegal", 0xC000001D, 4, "exception", "EXCEPTION_ILLEGAL_INSTRUCTION", "crashIllegal", false},
    {"abort", 3, 22, "signal", "STATUS_FATAL_APP_EXIT", "crashAbort", false},
    {"terminate", 3, 22, "terminate", "STATUS_FATAL_APP_EXIT", "crashTerminate", false},
    {"uncaught", 3, 22, "terminate", "STATUS_FATAL_APP_EXIT", "crashUncaught", false, "St13runtime_error"},
    // This toolchain leaves a pure function's slot of the vtable empty: the
    // call jumps to 0, an access violation, not the run-time's handler.
    {"purevirtual", 0xC0000005, 11, "exception", "EXCEPTION_ACCESS_VIOLATION", "crashPureCall", false},
    {"invalidparameter", 0xC0000417, 22, "invalidparameter", "STATUS_INVALID_CRUNTIME_PARAMETER",
     "crashInvalidParameter", false},
    {"divzero", 0xC0000094, 8, "exception", "EXCEPTION_INT_DIVIDE_BY_ZERO", "crashDivide", false},
    {"overflow", 0xC00000FD, 11, "exception", "EXCEPTION_STACK_OVERFLOW", "recurseForever", true},
    {"thread", 0xC0000005, 11, "exception", "EXCEPTION_ACCESS_VIOLATION", "crashNullWrite", true},
    {"twothreads", 0xC0000005, 11, "exception", "EXCEPTION_ACCESS_VIOLATION", "crashNullWrite", true},
};

class CrashCases : public CrashFixture, public ::testing::WithParamInterface<Case> {};

bool underWine() { return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

TEST_P(CrashCases, OneCompleteReportAMinidumpAndTheSenderStartedOnce) {
    const Case& c = GetParam();
    if (std::string(c.way) == "overflow" && underWine()) {
        // Wine 8 leaves an overflowed thread less than one page of stack for
        // the exception's dispatch (SetThreadStackGuarantee has no effect
        // there): the dispatch overflows again before any handler runs and
        // Wine ends the process. What can be checked is how it ended.
        const testsupport::RunResult run = crash({c.way, senderFolder.string()});
        EXPECT_EQ(static_cast<uint32_t>(run.exitCode), c.exitCode) << run.output;
        GTEST_SKIP() << "Wine 8 gives no handler a chance after a stack overflow";
    }
    const fs::path victim = GL_CRASH_VICTIM;
    // An attached file over the copy bound: the report keeps its last MiB.
    const fs::path log = home.root() / "big.log";
    std::string content;
    for (int i = 0; content.size() < 1536 * 1024; ++i) content += "line " + std::to_string(i) + "\n";
    testsupport::writeFile(log, content);

    const testsupport::RunResult run = crash({c.way, senderFolder.string() + "\\.\\", log.string()});
    EXPECT_EQ(static_cast<uint32_t>(run.exitCode), c.exitCode) << run.output;

    const auto folders = reportFolders();
    ASSERT_EQ(folders.size(), 1u) << run.output;
    const fs::path report = folders[0];
    EXPECT_TRUE(fs::exists(report / "complete"));

    const auto starts = senderStarts();
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0], (senderFolder / "crashsender.exe").string() + "\n" + fs::path(report).make_preferred().string() + "\n");

    const Records recs = records(readFile(report / "crash.txt"));
    ASSERT_FALSE(recs.empty());
    EXPECT_EQ(recs.front(), (std::vector<std::string>{"format", "GLCRASH", "1"}));
    EXPECT_EQ(recs.back(), std::vector<std::string>{"end"});
    EXPECT_EQ(field(recs, "app"), "crash_victim");
    EXPECT_EQ(field(recs, "version"), "9.8.7.6");
    EXPECT_EQ(field(recs, "url"), "http://127.0.0.1:9/index.php/crashReport/uploadExternal");
    EXPECT_EQ(fs::path(field(recs, "exe")), fs::absolute(victim).make_preferred());
    EXPECT_EQ(field(recs, "signal"), std::to_string(c.signal));
    EXPECT_EQ(field(recs, "cause"), c.cause);
    EXPECT_EQ(field(recs, "code", 2), c.code);
    EXPECT_EQ(field(recs, "flags"), "0x00005fff");
    EXPECT_EQ(field(recs, "exception"), c.exception);
    std::string rip, frame0;
    for (const auto& r : recs) {
        if (r[0] == "reg" && r[1] == "rip") rip = r[2];
        if (r[0] == "frame" && r[1] == "0") frame0 = r[2];
    }
    ASSERT_EQ(rip.size(), 18u);
    EXPECT_EQ(rip, frame0);
    if (std::string(c.way) == "null") {
        EXPECT_EQ(field(recs, "address"), "0x0000000000000000");
    }

    // Threads: the crashing one is among them; a worker's crash names
    // another thread than the first.
    std::vector<std::string> tasks;
    for (const auto& r : recs)
        if (r[0] == "task") tasks.push_back(r[1]);
    const std::string tid = field(recs, "tid");
    EXPECT_NE(std::find(tasks.begin(), tasks.end(), tid), tasks.end());
    if (c.onWorker) {
        EXPECT_GE(tasks.size(), 2u);
    }

    // The module list names the program.
    std::string modules = readFile(report / "maps");
    EXPECT_NE(modules.find(fs::absolute(victim).make_preferred().string()), std::string::npos) << modules;

    // The minidump: its exception is the crashing thread's, at the address
    // the report names, with the code the process ended by.
    const Minidump dump = parseMinidump(readFile(report / "minidump.dmp"));
    ASSERT_TRUE(dump.valid);
    ASSERT_TRUE(dump.hasException);
    EXPECT_EQ(std::to_string(dump.exceptionThread), tid);
    EXPECT_NE(std::find(dump.threadIds.begin(), dump.threadIds.end(), dump.exceptionThread), dump.threadIds.end());
    EXPECT_EQ(static_cast<int32_t>(dump.exceptionCode), std::stoi(field(recs, "code")));
    if (std::string(c.cause) == "exception") {
        EXPECT_EQ(hex16(dump.exceptionAddress), frame0);
    }

    // The attached file: its last MiB, as the record says.
    EXPECT_EQ(readFile(report / "files" / "big.log"), content.substr(content.size() - 1024 * 1024));
    bool fileRecord = false;
    for (const auto& r : recs)
        if (r[0] == "file") {
            fileRecord = true;
            EXPECT_EQ(r, (std::vector<std::string>{"file", "5", std::to_string(1024 * 1024),
                                                   std::to_string(content.size()), "big.log", "LogFile"}));
        }
    EXPECT_TRUE(fileRecord);

    // Symbolised on Linux from the program, as an operator would.
    const testsupport::RunResult symbols = testsupport::runProgram(
        "Z:\\bin\\sh",
        {testsupport::linuxPath(fs::path(GL_TEST_SOURCE_DIR) / "tools/crash-symbolise/symbolise-windows-report"),
         testsupport::linuxPath(report), testsupport::linuxPath(victim)},
        home.root());
    EXPECT_EQ(symbols.exitCode, 0) << symbols.output;
    EXPECT_NE(symbols.output.find(c.function), std::string::npos) << symbols.output << readFile(report / "crash.txt");
    EXPECT_NE(symbols.output.find("crash_victim.cpp:"), std::string::npos) << symbols.output;
}

INSTANTIATE_TEST_SUITE_P(EachWay, CrashCases, ::testing::ValuesIn(kCases),
                         [](const auto& param) { return std::string(param.param.way); });

TEST_F(CrashFixture, AFaultInsideTheHandlerEndsTheProcessAtOnce) {
    // The report thread faults in the minidump writer: the process ends by
    // that fault, with no complete report, so no sender was started (it
    // starts only after the mark).
    const testsupport::RunResult run = crash({"handlerfault", senderFolder.string()});
    EXPECT_EQ(static_cast<uint32_t>(run.exitCode), 0xC0000005u) << run.output;
    for (const auto& folder : reportFolders()) EXPECT_FALSE(fs::exists(folder / "complete")) << folder;
    EXPECT_TRUE(senderStarts(0).empty());
}

TEST_F(CrashFixture, WithoutTheSenderTheEngineRefusesToInstall) {
    fs::remove(senderFolder / "crashsender.exe");
    const testsupport::RunResult run = crash({"null", senderFolder.string()});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.output.find("crash sender not found"), std::string::npos) << run.output;
    EXPECT_TRUE(reportFolders().empty());
}

}  // namespace
