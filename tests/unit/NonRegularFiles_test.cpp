// A FIFO put where the program expects one of the files it opens at start
// (on Windows: a named pipe or a device named where a file is expected):
// every reader and writer must come back with its ordinary "cannot open"
// outcome instead of blocking the start for good.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "app/GamePathRecord.h"
#include "app/VersionFile.h"
#include "foundation/Log.h"
#include "foundation/Md5.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/ini.h"
#include "platform/process.h"
#include "platform/text.h"
#include "support/Fifo.h"
#include "support/LogReader.h"
#include "support/TempHome.h"
#include "support/TestData.h"

namespace fs = std::filesystem;

namespace {

std::wstring wide(const fs::path& p) { return platform::utf8ToWide(p.string()); }

class NonRegularFilesTest : public ::testing::Test {
protected:
    void TearDown() override { ReleaseLogger(); }

    // A regular file still opens and reads as usual.
    void expectPlainFileReads() {
        testsupport::writeFile(home.root() / "plain.txt", "abc");
        platform::File plain;
        ASSERT_TRUE(plain.open(wide(home.root() / "plain.txt"), platform::File::Access::Read,
                               platform::File::Disposition::OpenExisting));
        char buffer[8] = {};
        EXPECT_EQ(plain.read(buffer, sizeof buffer), 3);
    }

    testsupport::TempHome home;
};

#ifndef _WIN32
// Linux only: a FIFO is a POSIX special file; Windows has none at a file's
// path, and its forms of the same danger (a named pipe, a device name) are
// the cases under _WIN32 below.
TEST_F(NonRegularFilesTest, PlatformFileRefusesAFifoForEveryAccess) {
    const fs::path fifo = home.root() / "pipe";
    testsupport::makeFifo(fifo);
    struct Case {
        const char* name;
        platform::File::Access access;
        platform::File::Disposition disposition;
    };
    const Case cases[] = {
        {"read", platform::File::Access::Read, platform::File::Disposition::OpenExisting},
        {"write", platform::File::Access::Write, platform::File::Disposition::CreateAlways},
        {"read and write", platform::File::Access::ReadWrite, platform::File::Disposition::OpenAlways},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        bool opened = true;
        EXPECT_TRUE(testsupport::returnsDespiteFifos(
            [&] {
                platform::File file;
                opened = file.open(wide(fifo), c.access, c.disposition);
            },
            {fifo}));
        EXPECT_FALSE(opened);
        EXPECT_EQ(fs::status(fifo).type(), fs::file_type::fifo) << "left as it was";
    }
    // A device is no file either.
    platform::File device;
    EXPECT_FALSE(device.open(L"/dev/null", platform::File::Access::Read, platform::File::Disposition::OpenExisting));
    expectPlainFileReads();
}

TEST_F(NonRegularFilesTest, StartUpReadersComeBackWithTheirCannotOpenOutcome) {
    const fs::path program = home.root() / "game";
    fs::create_directories(program);
    struct Case {
        const char* name;
        fs::path fifo;
        std::function<void()> call;
        std::function<void()> check;
    };
    int versionResult = 0;
    char version[32] = {};
    wchar_t value[64] = {};
    uint32_t copied = 99;
    int32_t md5Result = 0;
    char digest[33] = {};
    const Case cases[] = {
        // First, before any other case has made today's log.
        {"daily log file", home.logFolder() / testsupport::todayLogName(),
         [] { LogPrint("[%s:%d]x", "GameLauncher", 1); }, [] {}},
        {"version file", program / "gamelauncher.db",
         [&] { versionResult = praseVersionFile(wide(program).c_str(), version); },
         [&] { EXPECT_EQ(versionResult, -2) << "exists but cannot be opened"; }},
        {"INI file", program / "launcher.ini",
         [&] {
             copied = platform::getPrivateProfileString(L"UPGRADE", L"SERVER_UPGRADE_0", L"dflt", value, 64,
                                                        wide(program / "launcher.ini").c_str());
         },
         [&] {
             EXPECT_EQ(copied, 4u);
             EXPECT_EQ(std::wstring(value), L"dflt");
         }},
        {"game path record", home.config() / "Keltora/morvel3/GamePath/GamePath.rcd",
         [&] { WriteGamePathRecord(wide(program).c_str()); },
         [&] {
             ReleaseLogger();
             const std::string log = testsupport::readLogs(home);
             EXPECT_NE(log.find("[GameLauncher:271]CreateFileW failed:"), std::string::npos) << log;
         }},
        {"file digest", program / "client.upd",
         [&] { md5Result = getFileMd5(wide(program / "client.upd").c_str(), digest); },
         [&] {
             EXPECT_NE(md5Result, 0);
             EXPECT_EQ(std::string(digest), "");
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::makeFifo(c.fifo);
        EXPECT_TRUE(testsupport::returnsDespiteFifos(c.call, {c.fifo}));
        c.check();
        EXPECT_EQ(fs::status(c.fifo).type(), fs::file_type::fifo);
        ReleaseLogger();
        fs::remove(c.fifo);
    }
}
#endif

#ifdef _WIN32
// A named pipe with one instance that never writes: a read of it would
// wait for good. Closed by the destructor, which also ends a read blocked
// on it.
class SilentPipe {
public:
    SilentPipe()
        : m_name(L"\\\\.\\pipe\\gl-nonregular-" + std::to_wstring(::GetCurrentProcessId())),
          m_server(::CreateNamedPipeW(m_name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT,
                                      PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr)) {}
    ~SilentPipe() { close(); }
    SilentPipe(const SilentPipe&) = delete;
    SilentPipe& operator=(const SilentPipe&) = delete;
    bool valid() const { return m_server != INVALID_HANDLE_VALUE; }
    const std::wstring& name() const { return m_name; }
    void close() {
        if (m_server == INVALID_HANDLE_VALUE) return;
        ::DisconnectNamedPipe(m_server);
        ::CloseHandle(m_server);
        m_server = INVALID_HANDLE_VALUE;
    }

private:
    std::wstring m_name;
    HANDLE m_server;
};

// Runs `call` on a thread of its own and reports whether it returned within
// 30 s; when it has not, the pipe is closed, which ends a blocked read, so a
// failing test fails instead of hanging. Asserts nothing about speed.
bool returnsDespitePipe(const std::function<void()>& call, SilentPipe& pipe) {
    std::packaged_task<void()> task(call);
    std::future<void> done = task.get_future();
    std::thread runner(std::move(task));
    const bool returned = done.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    if (!returned) pipe.close();
    runner.join();
    return returned;
}

TEST_F(NonRegularFilesTest, PlatformFileRefusesPipesAndDevicesForEveryAccess) {
    SilentPipe pipe;
    ASSERT_TRUE(pipe.valid()) << ::GetLastError();
    // Names the system opens as something other than a disk file, with or
    // without a folder before them.
    const std::wstring kNames[] = {pipe.name(), L"NUL", wide(home.root() / "NUL"), L"COM1", L"CONIN$", L"CONOUT$"};
    struct Case {
        const char* name;
        platform::File::Access access;
        platform::File::Disposition disposition;
    };
    const Case cases[] = {
        {"read", platform::File::Access::Read, platform::File::Disposition::OpenExisting},
        {"write", platform::File::Access::Write, platform::File::Disposition::CreateAlways},
        {"read and write", platform::File::Access::ReadWrite, platform::File::Disposition::OpenAlways},
    };
    const auto entries = [&] {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(home.root())) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    };
    const std::vector<std::string> before = entries();
    for (const std::wstring& name : kNames) {
        for (const auto& c : cases) {
            SCOPED_TRACE(platform::wideToUtf8(name) + ", " + c.name);
            bool opened = true;
            EXPECT_TRUE(returnsDespitePipe(
                [&] {
                    platform::File file;
                    opened = file.open(name, c.access, c.disposition);
                },
                pipe));
            EXPECT_FALSE(opened);
        }
    }
    // Nothing took the device's name as a file.
    EXPECT_EQ(entries(), before);
    expectPlainFileReads();
}

// The readers that take a whole path: given a pipe or a device, each comes
// back with its "cannot open" outcome. (The version file, the log and the
// game path record have fixed names in a folder, which no pipe can take.)
TEST_F(NonRegularFilesTest, StartUpReadersComeBackWithTheirCannotOpenOutcome) {
    SilentPipe pipe;
    ASSERT_TRUE(pipe.valid()) << ::GetLastError();
    for (const std::wstring& path : {pipe.name(), std::wstring(L"NUL"), wide(home.root() / "CONIN$")}) {
        SCOPED_TRACE(platform::wideToUtf8(path));
        wchar_t value[64] = {};
        uint32_t copied = 99;
        int32_t md5Result = 0;
        char digest[33] = {};
        EXPECT_TRUE(returnsDespitePipe(
            [&] {
                copied = platform::getPrivateProfileString(L"UPGRADE", L"SERVER_UPGRADE_0", L"dflt", value, 64,
                                                           path.c_str());
                md5Result = getFileMd5(path.c_str(), digest);
            },
            pipe));
        EXPECT_EQ(copied, 4u);
        EXPECT_EQ(std::wstring(value), L"dflt");
        EXPECT_NE(md5Result, 0);
        EXPECT_EQ(std::string(digest), "");
    }
}
#endif

// The test-only file-fault switch, read from the environment at start: a
// write made to fail gives the logged failure a full disk gives, with the
// system's own number for it, and the report names each counted operation.
// The writing runs in a child (this program again, running the case below):
// the switch is read when a process starts.
TEST(FileFaultChild, DISABLED_WritesTheGamePathRecord) {
    WriteGamePathRecord(L"C:/game/folder");
    ReleaseLogger();
}

#ifdef GL_TEST_HOOKS
class ScopedVariable {
public:
    ScopedVariable(const char* name, const std::string& value) : m_name(name) {
#ifdef _WIN32
        ::_putenv_s(name, value.c_str());
#else
        ::setenv(name, value.c_str(), 1);
#endif
    }
    ~ScopedVariable() {
#ifdef _WIN32
        ::_putenv_s(m_name, "");
#else
        ::unsetenv(m_name);
#endif
    }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    const char* m_name;
};

TEST_F(NonRegularFilesTest, FailedWriteThroughTheFaultSwitchIsLoggedAsADiskFull) {
#ifdef _WIN32
    const unsigned long diskFull = ERROR_DISK_FULL;
#else
    const unsigned long diskFull = ENOSPC;
#endif
    const fs::path record = home.config() / "Keltora/morvel3/GamePath/GamePath.rcd";
    const fs::path report = home.root() / "operations.txt";
    std::wstring self;
    ASSERT_TRUE(platform::moduleFileName(self));
    // Only the record counts: its creation is operation 1, its write 2.
    int status = -1;
    {
        const ScopedVariable scope("GL_TEST_FILE_OP_SCOPE", fs::path(record).make_preferred().string());
        const ScopedVariable fail("GL_TEST_FAIL_FILE_OP", "2");
        const ScopedVariable count("GL_TEST_FILE_OP_COUNT", report.string());
        const std::string command = "\"" + platform::wideToUtf8(self) +
                                    "\" --gtest_also_run_disabled_tests "
                                    "--gtest_filter=FileFaultChild.DISABLED_WritesTheGamePathRecord";
        status = std::system(command.c_str());
    }
    EXPECT_EQ(status, 0);

    // Half of the 14 bytes reached the file before the disk "filled up".
    EXPECT_EQ(testsupport::readFile(record), "C:/game");
    const std::string log = testsupport::readLogs(home);
    const auto logged = [&](const std::string& ending) {
        for (std::string line : testsupport::textLines(log)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.size() >= ending.size() && line.compare(line.size() - ending.size(), ending.size(), ending) == 0) {
                return true;
            }
        }
        return false;
    };
    EXPECT_TRUE(logged("[GameLauncher:280]WriteFile failed:" + std::to_string(diskFull))) << log;
    EXPECT_TRUE(logged(" buff:C:/game/folder dwWriteByte:7")) << log;
    const std::vector<std::string> lines = testsupport::textLines(testsupport::readFile(report));
    ASSERT_EQ(lines.size(), 3u) << testsupport::readFile(report);
    EXPECT_EQ(lines[0], "operations 2");
    const std::string spelled = lines[1].substr(lines[1].find(' ', 2) + 1);
    EXPECT_EQ(lines[1], "1 create " + spelled);
    EXPECT_EQ(lines[2], "2 write " + spelled + " failed");
    EXPECT_TRUE(fs::equivalent(fs::u8path(spelled), record)) << spelled;
}
#endif

}  // namespace
