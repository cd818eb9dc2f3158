// A FIFO put where the program expects one of the files it opens at start:
// every reader and writer must come back with its ordinary "cannot open"
// outcome instead of blocking the start for good.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <string>

#include "app/GamePathRecord.h"
#include "app/VersionFile.h"
#include "foundation/Log.h"
#include "foundation/Md5.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/ini.h"
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
    testsupport::TempHome home;
};

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
    // A regular file still opens and reads as usual.
    testsupport::writeFile(home.root() / "plain.txt", "abc");
    platform::File plain;
    ASSERT_TRUE(plain.open(wide(home.root() / "plain.txt"), platform::File::Access::Read,
                           platform::File::Disposition::OpenExisting));
    char buffer[8] = {};
    EXPECT_EQ(plain.read(buffer, sizeof buffer), 3);
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

}  // namespace
