// The disk turns hostile under a player's update from 1.0.0.0 to 2.0.0.0:
// the package cannot be written (the temp folder on a full file system, a
// file-size limit), the unpacked launcher cannot be written, the install
// folder is read-only, a listed file's place is taken by a folder. Every run
// ends without a hang or a crash, with 1.0.0.0 exactly as it was (or the
// damage repaired) and started, the log telling what happened; and once the
// fault is gone the next run installs 2.0.0.0 complete and starts it.
//
// Root ignores permission bits (the suite runs as root in CI), so the faults
// are made with what binds root too: a small tmpfs mounted over the temp
// folder, a read-only bind mount of the install folder, and the process's
// file-size limit (prlimit). A case whose tool is missing here skips and
// says why.
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "foundation/ZipUtil.h"
#include "hostile/HostileGame.h"
#include "support/DiskFaults.h"
#include "support/SampleLauncher.h"
#include "support/TempHome.h"
#include "upgrade/upgradeManager.h"

namespace hostile {
namespace {

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::writeFile;

const std::vector<std::string> kEventsWithoutUpdate{"GLHR_STR NotExist", "LHR_CHK 1.0.0.0"};
const std::vector<std::string> kEventsWithUpdate{"GLHR_STR NotExist", "LHR_CHK 1.0.0.0", "LHR_UPD 2.0.0.0"};
constexpr const char* kStartedOk = "[upgradeManager:208]_ThreadCheckVersion END with start launcher.exe OK\r\n";
constexpr const char* kGaveUp =
    "[upgradeManager:190]_ThreadCheckVersion END with Load launcher or agent zip file failed rescode:2\r\n";
constexpr const char* kPrlimit = "/usr/bin/prlimit";

class DiskFaults : public HostileGame {
protected:
    fs::path tempFolder() const { return home.config() / "Keltora/morvel3/temp"; }
    // As the program writes it, with its separator at the end.
    std::string stagingFolder() const { return (HostileGame::stagingFolder() / "").string(); }

    // Runs the program as run() does, under a file-size limit of `bytes`
    // (set by prlimit, which then becomes the program).
    testsupport::RunResult runWithFileSizeLimit(std::size_t bytes) {
        const std::map<std::string, std::string> env{
            {"QT_QPA_PLATFORM", "offscreen"}, {"GL_TEST_BOXES", "1"}, {"SAMPLE_LAUNCHER_OPTIONS", "--no-window"}};
        auto result = testsupport::runProgram(
            kPrlimit, {"--fsize=" + std::to_string(bytes), (game / "gamelauncher").string()}, game, env, 120);
        EXPECT_NE(result.exitCode, -1) << "the program was killed or did not end\n" << result.output << log();
        return result;
    }

    // Once the fault is gone: 2.0.0.0 installed complete and started, with
    // nothing left in the temp or staging folder.
    void expectTheNextRunInstallsTwo() {
        stopLaunchers();
        fs::remove_all(home.logFolder());
        const auto result = run();
        expectOutcome(result, Expected()
                                  .installs("2.0.0.0")
                                  .logs({"[upgradeManager:386]launcherURL:", kStartedOk})
                                  .logsNot({"failed ResCode", "[upgradeManager:628]"})
                                  .shows({}));
        EXPECT_FALSE(fs::exists(stagingFolder()));
        EXPECT_FALSE(fs::exists(tempFolder() / "client.upd"));
    }
};

// --- the package or the unpacked launcher cannot be written ------------------

constexpr std::size_t kBetweenPackageAndLauncher = SIZE_MAX;

struct WriteFault {
    const char* name;
    // A tmpfs of this many bytes over the temp folder (0: none).
    std::size_t tmpfsBytes;
    // A file-size limit of this many bytes on the program (0: none;
    // kBetweenPackageAndLauncher: midway between the package's size and the
    // unpacked launcher's, which differ from build to build).
    std::size_t fileSizeLimit;
    // The log's account, in order, after "launcherURL".
    std::vector<std::string> account;
    // How often each try's failure line appears.
    const char* failedTry;
    std::size_t tries;
};

void PrintTo(const WriteFault& c, std::ostream* os) { *os << c.name; }

class WriteFaults : public DiskFaults, public ::testing::WithParamInterface<WriteFault> {};

TEST_P(WriteFaults, OneZeroStaysAsItWasAndStartsAndTheNextRunUpdates) {
    const WriteFault& c = GetParam();
    fs::create_directories(tempFolder());
    std::optional<testsupport::FolderMount> full;
    if (c.tmpfsBytes > 0) {
        full.emplace(testsupport::FolderMount::tmpfs(tempFolder(), c.tmpfsBytes));
        if (!full->available()) GTEST_SKIP() << full->why();
    }
    if (c.fileSizeLimit > 0 && ::access(kPrlimit, X_OK) != 0) GTEST_SKIP() << kPrlimit << " is not installed";
    const std::string base = publish("2.0.0.0");
    ASSERT_FALSE(base.empty());
    writeLauncherIni({base});

    std::size_t limit = c.fileSizeLimit;
    if (limit == kBetweenPackageAndLauncher) {
        const std::size_t packageBytes = fs::file_size(package());
        const std::size_t launcherBytes = fs::file_size(clientFolder() / "launcher.exe");
        ASSERT_LT(packageBytes + 2 * 32 * 1024, launcherBytes) << "the launcher must not fit where the package does";
        limit = packageBytes + (launcherBytes - packageBytes) / 2;
    }
    const auto result = limit > 0 ? runWithFileSizeLimit(limit) : run();

    std::vector<std::string> account{"[upgradeManager:386]launcherURL:" + base + "files/client.zip"};
    for (const std::string& line : c.account) {
        std::string text = line;
        const std::size_t at = text.find("<staging>");
        if (at != std::string::npos) text.replace(at, 9, stagingFolder());
        account.push_back(text);
    }
    account.push_back(kGaveUp);
    account.push_back(kStartedOk);
    expectOutcome(result, Expected().installs("1.0.0.0").logs(account).shows({kBoxUpdateFailed}));
    EXPECT_EQ(countLogged(c.failedTry), c.tries) << log();
    EXPECT_EQ(events(), kEventsWithoutUpdate);
    EXPECT_FALSE(fs::exists(stagingFolder())) << "a failed unpacking leaves nothing behind";

    if (full) full->unmount();
    expectTheNextRunInstallsTwo();
}

// The package (about 290 KB in a debug build) and the launcher it holds
// (about 900 KB unpacked; both larger in a sanitizer build) against the room
// there is: the download fails at its first
// piece that does not fit (28 no space, 27 file too large), which ends the
// tries at once (230); an unpacking that cannot be written fails each of
// the three tries (1024, then 3).
INSTANTIATE_TEST_SUITE_P(
    DiskFaults, WriteFaults,
    ::testing::Values(
        WriteFault{"TempFolderOnAFullFileSystem",
                   64 * 1024,
                   0,
                   {"[Loader:409]writePiece Failed blockID = ", " LastErrCode = 28\r\n",
                    "loadRes:230\r\n", "[upgradeManager:396]download launcher.zip failed ResCode 230 tryTimes 2\r\n"},
                   "[upgradeManager:396]download launcher.zip failed ",
                   1},
        WriteFault{"FileSizeLimitBelowThePackage",
                   0,
                   64 * 1024,
                   {"[Loader:409]writePiece Failed blockID = ", " LastErrCode = 27\r\n",
                    "loadRes:230\r\n", "[upgradeManager:396]download launcher.zip failed ResCode 230 tryTimes 2\r\n"},
                   "[upgradeManager:396]download launcher.zip failed ",
                   1},
        WriteFault{"FileSizeLimitBelowTheUnpackedLauncher",
                   0,
                   kBetweenPackageAndLauncher,
                   {"[upgradeManager:622]UnZipFile failed dwRes:1024 lastErrID:27 zipPath:",
                    " localPath:<staging>\r\n",
                    "[upgradeManager:396]download launcher.zip failed ResCode 3 tryTimes 0\r\n"},
                   "[upgradeManager:622]UnZipFile failed dwRes:1024 lastErrID:27 ",
                   3}),
    [](const ::testing::TestParamInfo<WriteFault>& param) { return std::string(param.param.name); });

// --- a package that declares more than there is room for ---------------------

// A small package whose one member declares 16 MiB, against an 8 MiB file
// system that holds the install folder (and so the staging folder beside
// it): each try is refused before anything is written (2048, 28 no space),
// the file system is never filled, and 1.0.0.0 starts as it was.
TEST_F(DiskFaults, PackageDeclaringMoreThanTheFreeSpaceIsRefusedBeforeWriting) {
    const fs::path big = served() / "big.zip";
    ASSERT_EQ(makePackage("2.0.0.0", big, {{"client/data/filler.bin", std::string(16u << 20, '\0')}}).size(), 32u);
    ASSERT_LT(fs::file_size(big), 1u << 20);
    resnapshot();
    auto small = testsupport::FolderMount::tmpfs(installFolder().parent_path(), 8u << 20);
    if (!small.available()) GTEST_SKIP() << small.why();
    // 1.0.0.0 installed again, on the small file system.
    ASSERT_EQ(getZipUtil()->UnZipFile((serverState() / "launcher-1.0.0.0.zip").wstring().c_str(),
                                      installFolder().wstring().c_str()),
              0);
    ASSERT_EQ(installedVersion(), "1.0.0.0");
    const std::string base = publish("2.0.0.0", "big.zip");
    ASSERT_FALSE(base.empty());
    writeLauncherIni({base});

    const auto result = run();

    const std::string refused = "[upgradeManager:622]UnZipFile failed dwRes:2048 lastErrID:28 zipPath:";
    expectOutcome(result, Expected()
                              .installs("1.0.0.0")
                              .logs({"[upgradeManager:386]launcherURL:" + base + "files/big.zip", refused,
                                     " localPath:" + stagingFolder() + "\r\n",
                                     "[upgradeManager:396]download launcher.zip failed ResCode 3 tryTimes 0\r\n",
                                     kGaveUp, kStartedOk})
                              .shows({kBoxUpdateFailed}));
    EXPECT_EQ(countLogged(refused), std::size_t(kPackageTries)) << log();
    EXPECT_EQ(events(), kEventsWithoutUpdate);
    EXPECT_FALSE(fs::exists(stagingFolder()));
    // The launcher runs from the small file system: ended before it goes.
    stopLaunchers();
}

// --- the install folder is read-only -------------------------------------------

// The package downloads, unpacks and checks in the staging folder, but no
// file can be moved into place (30: read-only file system): each try fails
// before anything changed, and 1.0.0.0 starts as it is.
TEST_F(DiskFaults, ReadOnlyInstallFolderKeepsOneZeroAndStartsIt) {
    // The launcher cannot write its records beside itself there: they go
    // to a folder of the test's (its options file is read at its start).
    const fs::path records = serverState() / "read-only-run";
    fs::create_directories(records);
    writeFile(clientFolder() / "sample-launcher.conf",
              "--args " + (records / "launcher.args").string() + " --log " + (records / "launcher.log").string() + "\n");
    resnapshot();
    auto readOnly = testsupport::FolderMount::readOnly(installFolder());
    if (!readOnly.available()) GTEST_SKIP() << readOnly.why();
    const std::string base = publish("2.0.0.0");
    ASSERT_FALSE(base.empty());
    writeLauncherIni({base});

    const auto result = run();

    const std::string move = "[upgradeManager:631]MoveFile failed lastErrID:30 from:" + stagingFolder() +
                             "client/data/pieces.bin to:" + installFolder().string() + "/client/data/pieces.bin\r\n";
    expectOutcome(result, Expected()
                              .installs("1.0.0.0")
                              .starts(0)
                              .logs({"[upgradeManager:386]launcherURL:", move,
                                     "[upgradeManager:396]download launcher.zip failed ResCode 3 tryTimes 0\r\n",
                                     kGaveUp, kStartedOk})
                              .shows({kBoxUpdateFailed}));
    EXPECT_EQ(countLogged(move), 3u);
    EXPECT_EQ(events(), kEventsWithoutUpdate);
    EXPECT_FALSE(fs::exists(stagingFolder()));
    const auto starts = testsupport::launcherStarts(records);
    ASSERT_EQ(starts.size(), 1u) << "1.0.0.0 was started";
    EXPECT_EQ(starts[0].args, std::vector<std::string>{"-gamepath=" + game.string()});

    EXPECT_EQ(testsupport::stopLaunchers(records), "");
    readOnly.unmount();
    fs::remove(clientFolder() / "sample-launcher.conf");
    expectTheNextRunInstallsTwo();
}

// --- a listed file's place is taken by a folder ----------------------------

// The folder fails the file check, so 2.0.0.0 is fetched; the file cannot be
// renamed over a folder, and the install folder is the program's own, so
// that folder (and only it) is removed, and the log says so.
TEST_F(DiskFaults, FolderInPlaceOfAListedFileIsReplaced) {
    const fs::path listed = clientFolder() / "data/pieces.bin";
    fs::remove(listed);
    writeFile(listed / "inside/stray.txt", "whatever put it there");
    const std::string base = publish("2.0.0.0");
    ASSERT_FALSE(base.empty());
    writeLauncherIni({base});

    const auto result = run();

    expectOutcome(result,
                  Expected()
                      .installs("2.0.0.0")
                      .logs({"[upgradeManager:520]check " + listed.string() + " failed \r\n",
                             "[KTUpgrade:718]POST INFO: " + base + "launcher/check?", "&ver=0.0.0.0&",
                             "[upgradeManager:628]Remove what is in the way path:" + listed.string() + "\r\n", kStartedOk})
                      .logsNot({"failed ResCode"})
                      .shows({}));
    EXPECT_EQ(events(), kEventsWithUpdate);
    EXPECT_TRUE(fs::is_regular_file(listed));

    // Nothing left to repair: the next run finds 2.0.0.0 current.
    stopLaunchers();
    fs::remove_all(home.logFolder());
    expectOutcome(run(), Expected().installs("2.0.0.0").logs({kStartedOk}).logsNot({"[upgradeManager:386]"}).shows({}));
}

}  // namespace
}  // namespace hostile
