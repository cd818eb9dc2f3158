// The crash description is written by a crashing process and read as outside
// input: every record is checked, broken ones are skipped and counted, and
// names that could leave the report folder are refused.
#include "CrashDescription.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using crashsender::CrashDescription;
using crashsender::parseCrashDescription;

const std::string kHead = "format\tGLCRASH\t1\n";

TEST(CrashDescription, ReadsEveryRecordOfAWholeReport) {
    const std::string text = kHead +
                             "app\tmorvel3_launcher\nversion\t1.0.0.15\n"
                             "url\thttp://127.0.0.1:5/index.php/crashReport/uploadExternal\n"
                             "privacy\t\ntime\t2026-12-10T12:00:00Z\nunixtime\t1796904000\npid\t4242\ntid\t4243\n"
                             "exe\t/games/my game/gamelauncher\nbuildid\t0A1b\nsignal\t11\tSIGSEGV\ncause\tsignal\n"
                             "code\t-6\t-\naddress\t0x00000000deadbeef\nreg\tr8\t0x0000000000000001\n"
                             "reg\trip\t0xffffffffffffffff\n"
                             "frame\t0\t0x55d0a0001234\t0x55d0a0000000\t0x1234\t/games/my game/gamelauncher\n"
                             "frame\t1\t0x10\t0x0\t0x0\t-\n"
                             "scan\t7\t0x7f0000001000\t0x7f0000000000\t0x1000\t/lib/libc.so.6\n"
                             "exception\tSt13runtime_error\nflags\t0x00005fff\ntask\t4242\ntask\t4243\n"
                             "file\t5\t100\t2000\tlog_glauncher_20261210.log\tLogFile\n"
                             "file\t1\t-1\t-1\tother.txt\tOther file\n"
                             "newkey\tfrom a later version\n"
                             "end\n";
    CrashDescription d;
    ASSERT_TRUE(parseCrashDescription(text, d));
    EXPECT_TRUE(d.ended);
    EXPECT_EQ(d.skippedRecords, 0u);
    EXPECT_EQ(d.app, "morvel3_launcher");
    EXPECT_EQ(d.version, "1.0.0.15");
    EXPECT_EQ(d.url, "http://127.0.0.1:5/index.php/crashReport/uploadExternal");
    EXPECT_EQ(d.privacy, "");
    EXPECT_EQ(d.unixTime, 1796904000);
    EXPECT_EQ(d.pid, 4242);
    EXPECT_EQ(d.tid, 4243);
    EXPECT_EQ(d.exe, "/games/my game/gamelauncher");
    EXPECT_EQ(d.buildId, "0a1b");
    EXPECT_EQ(d.signal, 11);
    EXPECT_EQ(d.signalName, "SIGSEGV");
    EXPECT_EQ(d.code, -6);
    EXPECT_EQ(d.codeName, "");
    EXPECT_EQ(d.address, 0xdeadbeefu);
    ASSERT_EQ(d.registers.size(), 2u);
    EXPECT_EQ(d.registers[1].name, "rip");
    EXPECT_EQ(d.registers[1].value, 0xffffffffffffffffu);
    ASSERT_EQ(d.frames.size(), 2u);
    EXPECT_EQ(d.frames[0].address, 0x55d0a0001234u);
    EXPECT_EQ(d.frames[0].moduleBase, 0x55d0a0000000u);
    EXPECT_EQ(d.frames[0].offset, 0x1234u);
    EXPECT_EQ(d.frames[0].module, "/games/my game/gamelauncher");
    EXPECT_EQ(d.frames[1].module, "-");
    ASSERT_EQ(d.scan.size(), 1u);
    EXPECT_EQ(d.scan[0].index, 7u);
    EXPECT_EQ(d.exception, "St13runtime_error");
    EXPECT_EQ(d.flags, 0x5fffu);
    EXPECT_EQ(d.tasks, (std::vector<int64_t>{4242, 4243}));
    ASSERT_EQ(d.files.size(), 2u);
    EXPECT_EQ(d.files[0].flags, 5u);
    EXPECT_EQ(d.files[0].copiedBytes, 100);
    EXPECT_EQ(d.files[0].sizeAtCrash, 2000);
    EXPECT_EQ(d.files[0].name, "log_glauncher_20261210.log");
    EXPECT_EQ(d.files[0].description, "LogFile");
    EXPECT_EQ(d.files[1].copiedBytes, -1);
}

TEST(CrashDescription, BrokenRecordsAreSkippedAndCounted) {
    struct Case {
        const char* what;
        std::string record;
    };
    const Case cases[] = {
        {"signal without name", "signal\t11\n"},
        {"signal not a number", "signal\televen\tSIGSEGV\n"},
        {"signal out of range", "signal\t99999\tX\n"},
        {"pid with text after", "pid\t12x\n"},
        {"pid beyond 64 bits", "pid\t99999999999999999999\n"},
        {"address without 0x", "address\tdeadbeef\n"},
        {"address negative", "address\t0x-1\n"},
        {"address beyond 64 bits", "address\t0x10000000000000000\n"},
        {"flags beyond 32 bits", "flags\t0x100000000\n"},
        {"frame with a field missing", "frame\t0\t0x1\t0x0\t0x1\n"},
        {"frame with an empty path", "frame\t0\t0x1\t0x0\t0x1\t\n"},
        {"frame with a negative index", "frame\t-1\t0x1\t0x0\t0x1\t-\n"},
        {"file leaving the folder", "file\t5\t1\t1\t../../etc/passwd\tLogFile\n"},
        {"file in a subfolder", "file\t5\t1\t1\ta/b\tLogFile\n"},
        {"file named ..", "file\t5\t1\t1\t..\tLogFile\n"},
        {"file without a name", "file\t5\t1\t1\t\tLogFile\n"},
        {"file with a bad size", "file\t5\t-2\t1\tx\tLogFile\n"},
        {"build id not hex", "buildid\txyz1\n"},
        {"build id odd length", "buildid\tabc\n"},
        {"app with a second field", "app\ta\tb\n"},
        {"field over 4096 bytes", "app\t" + std::string(5000, 'a') + "\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CrashDescription d;
        ASSERT_TRUE(parseCrashDescription(kHead + "app\tx\n" + c.record + "end\n", d));
        EXPECT_EQ(d.skippedRecords, 1u);
        EXPECT_TRUE(d.ended);
        EXPECT_EQ(d.app, "x");
        EXPECT_TRUE(d.files.empty());
        EXPECT_TRUE(d.frames.empty());
    }
}

TEST(CrashDescription, FormatLineAndEndOfText) {
    struct Case {
        const char* what;
        std::string text;
        bool known;
        bool ended;
        std::size_t skipped;
    };
    const Case cases[] = {
        {"empty", "", false, false, 0},
        {"other magic", "format\tOTHER\t1\nend\n", false, false, 0},
        {"later version", "format\tGLCRASH\t2\nend\n", false, false, 0},
        {"blanks instead of tabs", "format GLCRASH 1\nend\n", false, false, 0},
        {"no end", kHead + "app\tx\n", true, false, 0},
        {"last line cut off", kHead + "app\tx\nfra", true, false, 1},
        {"records after end are not read", kHead + "end\napp\tx\nbroken\n", true, true, 0},
        {"CR LF line ends make values malformed", kHead + "pid\t1\r\nend\n", true, true, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CrashDescription d;
        EXPECT_EQ(parseCrashDescription(c.text, d), c.known);
        EXPECT_EQ(d.ended, c.ended);
        EXPECT_EQ(d.skippedRecords, c.skipped);
    }
}

TEST(CrashDescription, ListsStayWithinTheirBounds) {
    std::string text = kHead;
    for (int i = 0; i < 300; ++i) text += "frame\t" + std::to_string(i) + "\t0x1\t0x0\t0x1\t-\n";
    for (int i = 0; i < 70; ++i) text += "file\t5\t1\t1\tf" + std::to_string(i) + "\tx\n";
    text += "end\n";
    CrashDescription d;
    ASSERT_TRUE(parseCrashDescription(text, d));
    EXPECT_EQ(d.frames.size(), crashsender::kMaxCodeAddresses);
    EXPECT_EQ(d.files.size(), crashsender::kMaxFiles);
    EXPECT_EQ(d.skippedRecords, 300 - crashsender::kMaxCodeAddresses + 70 - crashsender::kMaxFiles);
    EXPECT_TRUE(d.ended);
}

}  // namespace
