// A package whose client/launcher.db turns hostile against a player's
// update from 1.0.0.0 to 2.0.0.0: a list that names one big file thousands
// of times, and a package that carries files its list does not name. The
// first is refused as any damaged list is and 1.0.0.0 starts as it was; the
// second installs what its list names and nothing else.
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "hostile/HostileGame.h"
#include "support/Process.h"
#include "support/SampleLauncher.h"
#include "support/TempHome.h"
#include "support/ZipBuilder.h"

namespace hostile {
namespace {

namespace fs = std::filesystem;
using testsupport::md5Hex;
using testsupport::readFile;
using testsupport::writeFile;

constexpr const char* kStartedOk = "[upgradeManager:208]_ThreadCheckVersion END with start launcher.exe OK\r\n";
constexpr const char* kGaveUp =
    "[upgradeManager:190]_ThreadCheckVersion END with Load launcher or agent zip file failed rescode:2\r\n";

class HostileList : public HostileGame {
protected:
    // Version 2.0.0.0 of the sample launcher with `extra` members, and a
    // list of `listed` (path, content) pairs: each named with the MD5 of
    // its content, `times` times over.
    void writePackage(const fs::path& zip, const std::vector<std::pair<std::string, std::string>>& extra,
                      const std::vector<std::pair<std::string, std::string>>& listed, int times = 1) {
        const std::string exe = readFile(testsupport::builtProgram("tools/sample-launcher/sample-launcher"));
        testsupport::ZipBuilder b;
        b.unixFile("client/launcher.exe", exe, 0100755);
        b.file("client/version.txt", "launcher 2.0.0.0\n");
        b.file("client/data/pieces.bin", "bytes of 2.0.0.0");
        for (const auto& [name, data] : extra) b.file(name, data);
        std::string list = "{\"files\":[{\"client/launcher.exe\":\"" + md5Hex(exe) + "\"},{\"client/version.txt\":\"" +
                           md5Hex("launcher 2.0.0.0\n") + "\"},{\"client/data/pieces.bin\":\"" +
                           md5Hex("bytes of 2.0.0.0") + "\"}";
        for (const auto& [name, data] : listed) {
            const std::string entry = ",{\"" + name + "\":\"" + md5Hex(data) + "\"}";
            for (int i = 0; i < times; ++i) list += entry;
        }
        b.file("client/launcher.db", list + "],\"version\":\"2.0.0.0\"}");
        b.writeTo(zip);
    }
};

// Every start would digest the 16 MiB file 10,000 times (minutes of full
// CPU). The list is refused as a damaged one is: each of the three tries
// fails reading it, warning 113, and 1.0.0.0 starts exactly as it was.
TEST_F(HostileList, OneBigFileListedTenThousandTimesIsRefusedAndOneZeroStarts) {
    const std::string big(16 << 20, 'b');
    writePackage(served() / "repeated.zip", {{"client/data/big.bin", big}}, {{"client/data/big.bin", big}}, 10000);
    resnapshot();
    const std::string base = publish("2.0.0.0", "repeated.zip");
    ASSERT_FALSE(base.empty());
    writeLauncherIni({base});

    const auto result = run();

    const std::string refused =
        "[upgradeManager:460]File Content is invalid:" + (stagingFolder() / "client/launcher.db").string() + "\r\n";
    expectOutcome(result, Expected()
                              .installs("1.0.0.0")
                              .logs({"[upgradeManager:386]launcherURL:", refused,
                                     "[upgradeManager:584]praseVersionFile failed res:-3\r\n",
                                     "[upgradeManager:396]download launcher.zip failed ResCode 4 tryTimes 0\r\n",
                                     kGaveUp, kStartedOk})
                              .logsNot({"[upgradeManager:520]", "[upgradeManager:512]"})
                              .shows({kBoxUpdateFailed}));
    EXPECT_EQ(countLogged(refused), 3u);
    EXPECT_EQ(events(), (std::vector<std::string>{"GLHR_STR NotExist", "LHR_CHK 1.0.0.0"}));
    EXPECT_FALSE(fs::exists(clientFolder() / "data/big.bin"));
    EXPECT_FALSE(fs::exists(stagingFolder()));
}

// The installed list names a file twice: read as a damaged list, so the
// service is asked with 0.0.0.0 and 2.0.0.0 replaces it.
TEST_F(HostileList, InstalledListNamingAFileTwiceIsRepairedByTheUpdate) {
    const fs::path list = clientFolder() / "launcher.db";
    std::string text = readFile(list);
    const std::size_t files = text.find("\"files\":[");
    ASSERT_NE(files, std::string::npos) << text;
    const std::string pieces =
        "{\"client\\\\data\\\\pieces.bin\":\"" + md5Hex(readFile(clientFolder() / "data/pieces.bin")) + "\"},";
    text.insert(files + 9, pieces);
    writeFile(list, text);
    const std::string base = publish("2.0.0.0");
    ASSERT_FALSE(base.empty());
    writeLauncherIni({base});

    expectOutcome(run(), Expected()
                             .installs("2.0.0.0")
                             .logs({"[upgradeManager:460]File Content is invalid:" + list.string() + "\r\n",
                                    "&ver=0.0.0.0&", kStartedOk})
                             .logsNot({"failed ResCode"})
                             .shows({}));
    EXPECT_EQ(events(), (std::vector<std::string>{"GLHR_STR NotExist", "LHR_CHK 0.0.0.0", "LHR_UPD 2.0.0.0"}));
}

// Files the list does not name were never checked: they are not moved into
// place, and go with the staging folder, while everything listed installs
// (and an empty file, as packages leave those unlisted).
TEST_F(HostileList, FilesThePackageCarriesButDoesNotListStayOut) {
    writePackage(served() / "extra.zip",
                 {{"client/unlisted.bin", std::string(1 << 20, 'u')},
                  {"client/more/also-unlisted.txt", "unlisted"},
                  {"top-level.txt", "unlisted"},
                  {"client/empty.txt", ""},
                  {"client/listed.txt", "listed"}},
                 {{"client/listed.txt", "listed"}});
    resnapshot();
    const std::string base = publish("2.0.0.0", "extra.zip");
    ASSERT_FALSE(base.empty());
    writeLauncherIni({base});

    expectOutcome(run(), Expected()
                             .installs("2.0.0.0")
                             .logs({"[upgradeManager:386]launcherURL:", kStartedOk})
                             .logsNot({"failed ResCode"})
                             .shows({}));
    EXPECT_EQ(events(), (std::vector<std::string>{"GLHR_STR NotExist", "LHR_CHK 1.0.0.0", "LHR_UPD 2.0.0.0"}));
    EXPECT_EQ(readFile(clientFolder() / "listed.txt"), "listed");
    EXPECT_FALSE(fs::exists(clientFolder() / "unlisted.bin"));
    EXPECT_FALSE(fs::exists(clientFolder() / "more"));
    EXPECT_FALSE(fs::exists(installFolder() / "top-level.txt"));
    EXPECT_FALSE(fs::exists(stagingFolder()));
    // Packages leave empty files unlisted; they bring nothing unchecked.
    EXPECT_TRUE(fs::is_regular_file(clientFolder() / "empty.txt"));
}

}  // namespace
}  // namespace hostile
