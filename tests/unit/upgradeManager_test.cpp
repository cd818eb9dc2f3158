// The upgrade manager's parts on their own: settings, the launcher's file
// list and its check, the progress target, and the pipe messages as a pipe
// server reads them.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "foundation/Log.h"
#include "foundation/Md5.h"
#include "platform/local_pipe.h"
#include "service/KTUpgrade.h"
#include "support/FakeLauncherWindow.h"
#include "support/LogReader.h"
#include "support/SampleLauncher.h"
#include "support/TempHome.h"
#include "support/WaitUntil.h"
#include "upgrade/LauncherPipe.h"
#include "upgrade/upgradeManager.h"

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

std::string md5Of(const std::string& bytes) { return testsupport::md5Hex(bytes); }

class UpgradeManagerParts : public ::testing::Test {
protected:
    void SetUp() override {
        game = home.root() / "game folder";
        fs::create_directories(game);
        install = home.data() / "Keltora/morvel3";
        fs::create_directories(install / "client");
    }
    void TearDown() override { ReleaseLogger(); }

    // A manager with its folders derived from the test's game folder.
    std::unique_ptr<UpgradeManager> manager() {
        auto m = std::make_unique<UpgradeManager>();
        m->setProgramFolderForTesting(game.wstring().c_str());
        EXPECT_EQ(m->initPaths(), 0);
        EXPECT_EQ(m->loadSettings(), 0);
        return m;
    }
    std::string log() const { return testsupport::readLogs(home); }

    testsupport::TempHome home;
    fs::path game;
    fs::path install;
};

TEST_F(UpgradeManagerParts, FoldersAndSettings) {
    struct Case {
        const char* setting;  // null: no setting.ini
        const char* debug;    // null: no debug.ini
        int32_t wait;
        bool compare;
    };
    const Case cases[] = {
        {nullptr, nullptr, 30, true},
        {"[SETTING]\nCURL_WAITETIME=7\n", "[DEBUG]\nFILECMP=1\n", 7, true},
        {"[setting]\ncurl_waitetime = 12\n", "[DEBUG]\nFILECMP=0\n", 12, false},
        {nullptr, "[DEBUG]\nFILECMP=2\n", 30, false},
        {nullptr, "[DEBUG]\nFILECMP=\n", 30, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.debug ? c.debug : "none");
        fs::remove(game / "setting.ini");
        fs::remove(game / "debug.ini");
        if (c.setting) writeFile(game / "setting.ini", c.setting);
        if (c.debug) writeFile(game / "debug.ini", c.debug);
        auto m = manager();
        EXPECT_EQ(m->curlWaitTime(), c.wait);
        EXPECT_EQ(m->fileCompare(), c.compare);
        EXPECT_EQ(std::wstring(m->programFolder()), game.wstring());
        EXPECT_EQ(std::wstring(m->installFolder()), home.data().wstring() + L"/Keltora/morvel3/");
        EXPECT_EQ(std::wstring(m->tempFolder()), home.config().wstring() + L"/Keltora/morvel3/temp/");
        EXPECT_EQ(m->stagingFolder(), home.data().wstring() + L"/Keltora/morvel3" + kStagingSuffix + L"/");
    }
}

// DOWNLOAD_PIECE_KB (32..4096) and DOWNLOAD_THREADS (1..8): the defaults
// without them, the bounds taken, and a value outside its range (or not a
// number, which reads as 0) logged and left out.
TEST_F(UpgradeManagerParts, DownloadPieceSettings) {
    struct Case {
        const char* setting;  // null: no setting.ini
        int32_t pieceKb;
        int32_t threads;
        const char* logged;  // null: nothing about them
    };
    const Case cases[] = {
        {nullptr, 32, 2, nullptr},
        {"[SETTING]\nCURL_WAITETIME=7\n", 32, 2, nullptr},
        {"[SETTING]\nDOWNLOAD_PIECE_KB=1024\nDOWNLOAD_THREADS=8\n", 1024, 8, nullptr},
        {"[SETTING]\nDOWNLOAD_PIECE_KB=4096\nDOWNLOAD_THREADS=1\n", 4096, 1, nullptr},
        {"[SETTING]\nDOWNLOAD_PIECE_KB=4097\n", 32, 2,
         "[upgradeManager:154]DOWNLOAD_PIECE_KB 4097 out of range 32-4096, 32 used\r\n"},
        {"[SETTING]\nDOWNLOAD_PIECE_KB=31\n", 32, 2,
         "[upgradeManager:154]DOWNLOAD_PIECE_KB 31 out of range 32-4096, 32 used\r\n"},
        {"[SETTING]\nDOWNLOAD_PIECE_KB=big\n", 32, 2,
         "[upgradeManager:154]DOWNLOAD_PIECE_KB 0 out of range 32-4096, 32 used\r\n"},
        {"[SETTING]\nDOWNLOAD_THREADS=9\n", 32, 2,
         "[upgradeManager:161]DOWNLOAD_THREADS 9 out of range 1-8, 2 used\r\n"},
        {"[SETTING]\nDOWNLOAD_THREADS=-1\nDOWNLOAD_PIECE_KB=64\n", 64, 2,
         "[upgradeManager:161]DOWNLOAD_THREADS -1 out of range 1-8, 2 used\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.setting ? c.setting : "none");
        fs::remove(game / "setting.ini");
        if (c.setting) writeFile(game / "setting.ini", c.setting);
        auto m = manager();
        EXPECT_EQ(m->downloadPieceKb(), c.pieceKb);
        EXPECT_EQ(m->downloadThreads(), c.threads);
        ReleaseLogger();
        const std::string text = log();
        if (c.logged) {
            EXPECT_NE(text.find(c.logged), std::string::npos) << text;
        } else {
            EXPECT_EQ(text.find("DOWNLOAD_"), std::string::npos) << text;
        }
        fs::remove_all(home.logFolder());
    }
}

#ifndef _WIN32
// Left out on Windows: the roaming folder is the system's known folder
// there, which a test cannot take away as it can unset HOME.
TEST_F(UpgradeManagerParts, CheckUpgradeWithoutWindowOrFolders) {
    auto m = std::make_unique<UpgradeManager>();
    EXPECT_EQ(m->checkUpgrade(nullptr), kCheckNoWindow);
    // A HOME the system cannot use: no roaming folder.
    setenv("XDG_CONFIG_HOME", "relative", 1);
    setenv("HOME", "", 1);
    m->setProgramFolderForTesting(game.wstring().c_str());
    // (The log lives in the roaming folder too, so the line has nowhere to go.)
    EXPECT_EQ(m->initPaths(), -2);
    testsupport::FakeLauncherWindow window;
    EXPECT_EQ(m->checkUpgrade(&window), kCheckNoPaths);
    EXPECT_TRUE(window.calls().empty());
}
#endif

TEST_F(UpgradeManagerParts, VersionFileReading) {
    const std::string exe = "launcher bytes";
    writeFile(install / "client/launcher.exe", exe);
    struct Case {
        const char* what;
        const char* text;  // null: no file
        int32_t result;
        const char* version;
        std::size_t entries;
        const char* logged;
    };
    const Case cases[] = {
        {"missing", nullptr, -1, "", 0, "[upgradeManager:443]File not exist path:"},
        {"not json", "{\"version\":", -3, "", 0, "[upgradeManager:460]File Content is invalid:"},
        {"no version", "{\"files\":[]}", -3, "", 0, "[upgradeManager:491]unknow version:"},
        {"empty version", "{\"version\":\"\"}", -3, "", 0, "[upgradeManager:491]unknow version:"},
        {"ordinary", "{\"files\":[{\"client/launcher.exe\":\"abc\",\"x\":\"y\"},{\"a b/c.dll\":\"DEF\"}],\"version\":\"1.2.3.4\"}",
         0, "1.2.3.4", 2, nullptr},
        {"files after version", "{\"version\":\"2.0\",\"files\":[{\"client/launcher.exe\":\"abc\"}]}", 0, "2.0", 0,
         nullptr},
        {"other members skipped", "{\"name\":1,\"version\":\"3\",\"x\":[]}", 0, "3", 0, nullptr},
        {"version too long", "{\"version\":\"0123456789012345678901234567890123\"}", -3, "", 0,
         "[upgradeManager:491]unknow version:0123456789012345678901234567890123"},
        {"entry outside the folder", "{\"files\":[{\"../../../.bashrc\":\"abc\"}],\"version\":\"1\"}", -3, "", 0,
         "[upgradeManager:460]File Content is invalid:"},
        {"absolute entry", "{\"files\":[{\"/etc/passwd\":\"abc\"}],\"version\":\"1\"}", -3, "", 0,
         "[upgradeManager:460]"},
        {"entry not an object", "{\"files\":[\"client/launcher.exe\"],\"version\":\"1\"}", -3, "", 0,
         "[upgradeManager:460]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(install / "client/launcher.db");
        if (c.text) writeFile(install / "client/launcher.db", c.text);
        auto m = manager();
        char version[32] = {};
        std::vector<FileEntry> list;
        EXPECT_EQ(m->praseVersionFile(version, list), c.result);
        EXPECT_STREQ(version, c.version);
        EXPECT_EQ(list.size(), c.entries);
        if (c.logged) {
            EXPECT_NE(log().find(c.logged), std::string::npos) << log();
        }
        if (c.entries == 2) {
            EXPECT_STREQ(list[0].path, "client/launcher.exe");
            EXPECT_STREQ(list[0].md5, "abc");
            EXPECT_STREQ(list[1].path, "a b/c.dll");
            EXPECT_STREQ(list[1].md5, "DEF");
        }
    }
}

TEST_F(UpgradeManagerParts, FileCheckWithEachFileCompareSetting) {
    const std::string good = "good launcher";
    writeFile(install / "client/launcher.exe", good);
    writeFile(install / "client/changed.dll", "changed now");
    writeFile(install / "client/empty.txt", "");
    fs::permissions(install / "client/changed.dll", fs::perms::owner_read | fs::perms::group_read);
    const std::vector<FileEntry> matching = {
        FileEntry{"client/launcher.exe", {}},
        FileEntry{"client/empty.txt", "d41d8cd98f00b204e9800998ecf8427e"},
    };
    std::vector<FileEntry> upper = matching;
    std::string upperMd5 = md5Of(good);
    for (auto& ch : upperMd5) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    std::snprintf(upper[0].md5, sizeof upper[0].md5, "%s", upperMd5.c_str());
    std::vector<FileEntry> damaged = upper;
    damaged.insert(damaged.begin(), FileEntry{"client/changed.dll", {}});
    std::snprintf(damaged[0].md5, sizeof damaged[0].md5, "%s", md5Of("as shipped").c_str());
    std::vector<FileEntry> missing = {FileEntry{"client/gone.dll", "00"}, FileEntry{"client/changed.dll", "00"}};

    struct Case {
        const char* debug;
        const std::vector<FileEntry>* list;
        bool expected;
    };
    const Case cases[] = {
        {nullptr, &upper, true},     {"[DEBUG]\nFILECMP=1", &damaged, false},
        {"[DEBUG]\nFILECMP=0", &damaged, true}, {"[DEBUG]\nFILECMP=2", &damaged, true},
        {"[DEBUG]\nFILECMP=2", &missing, true}, {"[DEBUG]\nFILECMP=1", &missing, false},
        {"[DEBUG]\nFILECMP=1", &upper, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.debug ? c.debug : "none") + " " + (*c.list)[0].path);
        fs::remove(game / "debug.ini");
        if (c.debug) writeFile(game / "debug.ini", c.debug);
        fs::permissions(install / "client/changed.dll", fs::perms::owner_read | fs::perms::group_read);
        auto m = manager();
        EXPECT_EQ(m->checkFileList(*c.list), c.expected);
        const bool compared = m->fileCompare();
        const bool writable = (fs::status(install / "client/changed.dll").permissions() & fs::perms::owner_write) !=
                              fs::perms::none;
        // Only a compared, changed file is made writable; a missing one
        // ends the check before the changed one is looked at.
        EXPECT_EQ(writable, compared && c.list == &damaged);
    }
    ReleaseLogger();
    const std::string text = log();
    const std::string changed = (install / "client/changed.dll").string();
    EXPECT_NE(text.find("[upgradeManager:520]check " + home.data().string() + "/Keltora/morvel3/client/changed.dll failed \r\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("[upgradeManager:521]Local:" + md5Of("changed now") + " Line:" + md5Of("as shipped") + "\r\n"),
              std::string::npos);
    EXPECT_NE(text.find("[upgradeManager:512]check file not exist file:" + home.data().string() +
                        "/Keltora/morvel3/client/gone.dll\r\n"),
              std::string::npos);
    EXPECT_EQ(text.find("[upgradeManager:520]check " + home.data().string() + "/Keltora/morvel3/client/launcher.exe"),
              std::string::npos)
        << "an upper-case MD5 matches";
}

// The files are digested on several threads, yet what the check logs and
// changes follows the list: the changed files in list order, the first
// missing one last, and nothing for a file after it, even when its digest
// (of a small file behind large ones) was ready long before. Run a few
// times, since the threads' order differs from run to run.
TEST_F(UpgradeManagerParts, FileCheckOnSeveralThreadsKeepsTheListOrder) {
    constexpr int kFiles = 40;
    constexpr int kMissing = 30;
    const std::set<int> changed = {3, 10, 25, 33, 38};
    std::vector<FileEntry> list;
    for (int i = 0; i < kFiles; ++i) {
        const std::string name = "client/f" + std::to_string(i) + ".bin";
        // Large files first, so that later digests finish before earlier ones.
        const std::string bytes(static_cast<std::size_t>(i < 8 ? 3 << 20 : 1000 + i), static_cast<char>('a' + i % 26));
        FileEntry entry{};
        std::snprintf(entry.path, sizeof entry.path, "%s", name.c_str());
        std::snprintf(entry.md5, sizeof entry.md5, "%s", md5Of(changed.count(i) ? "shipped" : bytes).c_str());
        list.push_back(entry);
        if (i != kMissing) writeFile(install / name, bytes);
    }
    const std::string folder = home.data().string() + "/Keltora/morvel3/";
    std::string expected;
    for (int i : changed) {
        if (i > kMissing) break;
        const std::string bytes(static_cast<std::size_t>(i < 8 ? 3 << 20 : 1000 + i), static_cast<char>('a' + i % 26));
        expected += "[upgradeManager:520]check " + folder + list[static_cast<std::size_t>(i)].path + " failed \r\n";
        expected += "[upgradeManager:521]Local:" + md5Of(bytes) + " Line:" + md5Of("shipped") + "\r\n";
    }
    expected += "[upgradeManager:512]check file not exist file:" + folder + list[kMissing].path + "\r\n";

    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        for (int i : changed) {
            fs::permissions(install / list[static_cast<std::size_t>(i)].path, fs::perms::owner_read);
        }
        fs::remove_all(home.logFolder());
        auto m = manager();
        EXPECT_FALSE(m->checkFileList(list));
        ReleaseLogger();
        std::string lines;
        std::istringstream in(log());
        for (std::string line; std::getline(in, line);) {
            const std::size_t at = line.find("[upgradeManager:5");
            if (at != std::string::npos) lines += line.substr(at) + "\n";
        }
        EXPECT_EQ(lines, expected);
        for (int i : changed) {
            const bool writable = (fs::status(install / list[static_cast<std::size_t>(i)].path).permissions() &
                                   fs::perms::owner_write) != fs::perms::none;
            EXPECT_EQ(writable, i < kMissing) << list[static_cast<std::size_t>(i)].path;
        }
    }
}

// A list's text of `entries` distinct entries and the version "1".
std::string listOf(std::size_t entries, const std::string& pad = "") {
    std::string text = "{\"files\":[";
    for (std::size_t i = 0; i < entries; ++i) {
        text += std::string(i == 0 ? "" : ",") + "{\"client/f" + std::to_string(i) + "\":\"" + std::string(32, '0') + "\"}";
    }
    return text + "]," + pad + "\"version\":\"1\"}";
}

// A list text padded with blanks to exactly `bytes` bytes.
std::string listOfSize(std::size_t bytes) {
    const std::string small = listOf(2);
    return small.substr(0, small.size() - 1) + std::string(bytes - small.size(), ' ') + "}";
}

// Lists a check must not take: too long, too many entries, a file named
// twice. Each reads as a damaged list does (460, -3), installed or staged;
// right at the bounds a list is read.
TEST_F(UpgradeManagerParts, ListsOverTheBoundsOrNamingAFileTwiceAreDamaged) {
    struct Case {
        const char* what;
        std::string text;
        int32_t result;
        std::size_t entries;
    };
    const std::string twice =
        "{\"files\":[{\"client/launcher.exe\":\"1\"},{\"client/launcher.exe\":\"1\"}],\"version\":\"1\"}";
    std::string tenThousand = "{\"files\":[";
    for (int i = 0; i < 10000; ++i) tenThousand += std::string(i ? "," : "") + "{\"client/big.bin\":\"1\"}";
    tenThousand += "],\"version\":\"1\"}";
    std::string manyZeros;
    for (std::size_t i = 0; i < 8 * kMaxLauncherListEntries; ++i) manyZeros += "0,";
    const Case cases[] = {
        {"entries at the bound", listOf(kMaxLauncherListEntries), 0, kMaxLauncherListEntries},
        {"one entry over the bound", listOf(kMaxLauncherListEntries + 1), -3, 0},
        {"over the bound in two lists", listOf(kMaxLauncherListEntries, "\"files\":[{\"x\":\"1\"}],"), -3, 0},
        {"bytes at the bound", listOfSize(kMaxLauncherListBytes), 0, 2},
        // Within the bytes, small values would parse into millions of nodes.
        {"values far beyond what the entries need", listOf(2, "\"x\":[" + manyZeros + "0],"), -3, 0},
        {"one byte over the bound", listOfSize(kMaxLauncherListBytes + 1), -3, 0},
        {"a file named twice", twice, -3, 0},
        {"one file named 10,000 times", tenThousand, -3, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(home.logFolder());
        writeFile(install / "client/launcher.db", c.text);
        auto m = manager();
        char version[32] = {};
        std::vector<FileEntry> list;
        EXPECT_EQ(m->praseVersionFile(version, list), c.result);
        EXPECT_EQ(list.size(), c.entries);
        ReleaseLogger();
        const std::string line =
            "[upgradeManager:460]File Content is invalid:" + home.data().string() + "/Keltora/morvel3/client/launcher.db\r\n";
        EXPECT_EQ(log().find(line) != std::string::npos, c.result != 0) << log();
        // The pure parse agrees, so the fuzz target sees the same rule.
        std::vector<FileEntry> parsed;
        EXPECT_EQ(parseLauncherFileList(c.text, version, parsed),
                  c.result == 0 ? LauncherListResult::Ok : LauncherListResult::Invalid);
    }
}

#ifndef _WIN32
// Left out on Windows: it sees the worker holding the file open through
// /proc/self/fd, and relies on a sparse 16 GiB file.
// The stop request (raised by the destruction, as when the window closes,
// once the worker has had its time) ends the installed launcher's check in
// the middle of a big file: nothing is logged about the file, it is not
// made writable, no launcher starts, and the destruction returns.
TEST_F(UpgradeManagerParts, StopRequestEndsTheCheckInsideABigFile) {
    const fs::path big = install / "client/big.bin";
    {
        std::ofstream(big).close();
    }
    // Sparse: 16 GiB that cost no disk and take far longer to digest than
    // the destruction waits for the worker.
    fs::resize_file(big, uint64_t(16) << 30);
    fs::permissions(big, fs::perms::owner_read | fs::perms::group_read);
    writeFile(install / "client/launcher.db",
              "{\"files\":[{\"client/big.bin\":\"" + std::string(32, '0') + "\"}],\"version\":\"1.0.0.0\"}");
    testsupport::FakeLauncherWindow window;
    auto m = manager();
    ASSERT_EQ(m->checkUpgrade(&window), kCheckStarted);
    // The digest runs once the worker holds the file open.
    const auto digesting = [&] {
        for (const auto& e : fs::directory_iterator("/proc/self/fd")) {
            std::error_code ec;
            if (fs::read_symlink(e.path(), ec) == big) return true;
        }
        return false;
    };
    ASSERT_TRUE(testsupport::waitUntil(digesting));
    std::atomic<bool> destroyed{false};
    std::thread destroy([&] {
        m.reset();
        destroyed.store(true);
    });
    EXPECT_TRUE(testsupport::waitUntil([&] { return destroyed.load(); }));
    destroy.join();
    delete getKTUpgrade(game.wstring().c_str(), nullptr);
    EXPECT_FALSE(digesting());
    EXPECT_EQ(fs::status(big).permissions() & fs::perms::owner_write, fs::perms::none) << "not made writable";
    ReleaseLogger();
    const std::string text = log();
    EXPECT_NE(text.find("[upgradeManager:246]_ThreadCheckVersion stopped by the termination request\r\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("[upgradeManager:520]"), std::string::npos) << text;
    EXPECT_EQ(text.find("[upgradeManager:641]"), std::string::npos) << "no launcher start";
    EXPECT_EQ(text.find("LHR_CHK"), std::string::npos) << "nothing reported after the stop";
}
#endif

// A pipe server on the runtime folder that reads what the manager sends.
class PipeReader {
public:
    PipeReader() { listening = server.listen(launcherprotocol::kPipeName); }
    std::string read(std::size_t size) {
        if (!server.hasClient() && server.accept(10000) != platform::PipeServer::Result::Ok) return "<no client>";
        std::string bytes(size, '\0');
        if (server.read(bytes.data(), size, 10000) != platform::PipeServer::Result::Ok) return "<short>";
        return bytes;
    }
    platform::PipeServer server;
    bool listening = false;
};

TEST_F(UpgradeManagerParts, PipeMessagesAreNinePlusLengthBytes) {
    PipeReader reader;
    ASSERT_TRUE(reader.listening);
    auto m = manager();
    ASSERT_EQ(m->initPipe(), 0);
    EXPECT_EQ(m->sendPipeMessage(launcherprotocol::kMsgComeForward, 0, nullptr, 0), 0);
    EXPECT_EQ(reader.read(9), std::string("\x80\0\0\0\0\0\0\0\0", 9));
    // Data pointer given with length 0: still exactly 9 bytes.
    const uint8_t data[] = {'a', 'b', 'c'};
    EXPECT_EQ(m->sendPipeMessage(launcherprotocol::kMsgQuit, 0, data, 0), 0);
    EXPECT_EQ(m->sendPipeMessage(0x42, -2, data, 3), 0);
    EXPECT_EQ(reader.read(9 + 9 + 3), std::string("\x81\0\0\0\0\0\0\0\0", 9) +
                                           std::string("\x42\xfe\xff\xff\xff\x03\0\0\0abc", 12));

    LauncherPipe* pipe = getLauncherPipe();
    std::vector<uint8_t> big(launcherprotocol::kMaxData + 1, 'x');
    EXPECT_EQ(pipe->sendData(1, 0, big.data(), launcherprotocol::kMaxData + 1), kPipeBadLength);
    EXPECT_EQ(pipe->sendData(1, 0, nullptr, 4), kPipeBadLength);
    EXPECT_EQ(pipe->sendData(1, 0, big.data(), launcherprotocol::kMaxData), kPipeOk);
    const std::string full = reader.read(9 + launcherprotocol::kMaxData);
    EXPECT_EQ(full.substr(0, 9), std::string("\x01\0\0\0\0\0\x20\0\0", 9));

    // The launcher drops its end: the next write fails and only the log says so.
    reader.server.disconnect();
    int32_t r = 0;
    for (int i = 0; i < 3 && r == 0; ++i) r = m->sendPipeMessage(launcherprotocol::kMsgComeForward, 0, nullptr, 0);
    EXPECT_EQ(r, -1);
    ReleaseLogger();
    const std::string text = log();
    EXPECT_NE(text.find("[upgradeManager:727]pipe send message Success id:128 command:0 data:(null)\r\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("[upgradeManager:724]pipe send message failed resVal:-2\r\n"), std::string::npos) << text;
}

TEST_F(UpgradeManagerParts, PipeWithoutServerLeavesNoObjectBehind) {
    auto m = manager();
    EXPECT_EQ(m->initPipe(), -2);
    EXPECT_EQ(m->initPipe(), -2);
    EXPECT_EQ(m->sendPipeMessage(launcherprotocol::kMsgComeForward, 0, nullptr, 0), -1);
    LauncherPipe fresh;
    EXPECT_EQ(fresh.sendData(launcherprotocol::kMsgComeForward, 0, nullptr, 0), kPipeNotOpen);
    ReleaseLogger();
    const std::string text = log();
    EXPECT_NE(text.find("[upgradeManager:712]openPipe failed resVal:-1\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("[upgradeManager:724]pipe send message failed resVal:-1\r\n"), std::string::npos) << text;
}

}  // namespace

namespace {

// The parse on its own (the fuzz target's subject): results for the shapes
// a damaged or hostile list can take.
TEST(LauncherFileList, Shapes) {
    struct Case {
        const char* text;
        LauncherListResult result;
        std::size_t entries;
    };
    const Case cases[] = {
        {"{\"files\":[{\"a\":\"1\"}],\"version\":\"1\"}", LauncherListResult::Ok, 1},
        {"[1,2]", LauncherListResult::NoVersion, 0},
        {"{\"files\":[{}],\"version\":\"1\"}", LauncherListResult::Invalid, 0},
        {"{\"files\":[[\"a\"]],\"version\":\"1\"}", LauncherListResult::Invalid, 0},
        {"{\"files\":[{\"a\\\\..\\\\..\\\\b\":\"1\"}],\"version\":\"1\"}", LauncherListResult::Invalid, 0},
        {"{\"files\":[{\"C:/x\":\"1\"}],\"version\":\"1\"}", LauncherListResult::Invalid, 0},
        {"{\"files\":[{\"a..b/..c\":\"1\"}],\"version\":\"1\"}", LauncherListResult::Ok, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        char version[32];
        std::vector<FileEntry> list;
        EXPECT_EQ(parseLauncherFileList(c.text, version, list), c.result);
        EXPECT_EQ(list.size(), c.entries);
    }
    char version[32];
    std::vector<FileEntry> list;
    const std::string longMd5 = "{\"files\":[{\"a\":\"" + std::string(64, 'f') + "\"}],\"version\":\"1\"}";
    EXPECT_EQ(parseLauncherFileList(longMd5, version, list), LauncherListResult::Invalid);
    const std::string longPath = "{\"files\":[{\"" + std::string(260, 'p') + "\":\"1\"}],\"version\":\"1\"}";
    EXPECT_EQ(parseLauncherFileList(longPath, version, list), LauncherListResult::Invalid);
    const std::string fitting = "{\"files\":[{\"" + std::string(259, 'p') + "\":\"" + std::string(63, 'f') +
                                "\"}],\"version\":\"" + std::string(31, '9') + "\"}";
    EXPECT_EQ(parseLauncherFileList(fitting, version, list), LauncherListResult::Ok);
    EXPECT_EQ(std::string(version), std::string(31, '9'));
}

// The rule that makes two names one file: separators, empty and "."
// levels, ASCII letter case; anything else keeps them apart.
TEST(LauncherFileList, NamesOfOneFile) {
    struct Case {
        const char* first;
        const char* second;
        bool oneFile;
    };
    const Case cases[] = {
        {"client/a.dll", "client/a.dll", true},
        {"client/a.dll", "client\\\\a.dll", true},
        {"client/a.dll", "client//a.dll", true},
        {"client/a.dll", "./client/./a.dll", true},
        {"client/a.dll", "client/a.dll/", true},
        {"client/a.dll", "Client/A.DLL", true},
        {"client/a.dll", "client/a.dl", false},
        {"client/a.dll", "client/a.dll ", false},
        {"client/a", "client/a/b", false},
        {"client/\xc3\xa4.dll", "client/\xc3\x84.dll", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.first) + " " + c.second);
        const std::string text = std::string("{\"files\":[{\"") + c.first + "\":\"1\"},{\"" + c.second +
                                 "\":\"2\"}],\"version\":\"1\"}";
        char version[32];
        std::vector<FileEntry> list;
        EXPECT_EQ(parseLauncherFileList(text, version, list),
                  c.oneFile ? LauncherListResult::Invalid : LauncherListResult::Ok);
    }
}

// The staged files that are moved into place: the list, what it names,
// spelt as the check finds them (letter case as the file system has it),
// and empty files, which packages leave unlisted.
TEST(LauncherFileList, OnlyListedOrEmptyStagedFilesAreKept) {
    testsupport::TempHome home;
    const fs::path staging = home.root() / "staging";
    std::vector<std::wstring> staged = {L"client/a.dll",        L"client/data/b.bin", L"client/empty.txt",
                                        L"client/launcher.db",  L"client/unlisted.bin", L"other/c.txt",
                                        L"client/C.txt"};
    for (const std::wstring& f : staged) writeFile(staging / f, f == L"client/empty.txt" ? "" : "x");
    const std::vector<FileEntry> list = {FileEntry{"client\\a.dll", "1"}, FileEntry{"./client//data/b.bin", "2"},
                                         FileEntry{"client/c.txt", "3"}, FileEntry{"client/not-carried.dll", "4"}};
    keepListedFiles((staging.wstring() + L"/").c_str(), staged, list);
    EXPECT_EQ(staged, (std::vector<std::wstring>{L"client/a.dll", L"client/data/b.bin", L"client/empty.txt",
                                                 L"client/launcher.db"}));
}

}  // namespace
