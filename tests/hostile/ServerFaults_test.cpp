// The service and the package turn hostile under a player's update from
// 1.0.0.0 to 2.0.0.0: a package whose MD5 is not the announced one, a
// package that is no ZIP, a package whose file list names files it lacks, a
// reply with a version but no url, a check reply of many megabytes, and a
// report endpoint that never answers. Every run ends; 1.0.0.0 stays intact
// and starts, or the update goes through; where a run cannot keep the
// promise, the next run with a good service repairs the launcher.
#include <functional>
#include <memory>

#include "hostile/HostileGame.h"
#include "support/SampleLauncher.h"
#include "support/ScriptedServer.h"
#include "support/TempHome.h"
#include "support/TestData.h"
#include "support/ZipBuilder.h"
#include "upgrade/upgradeManager.h"

namespace hostile {
namespace {

using testsupport::readFile;
using testsupport::writeFile;

const std::vector<std::string> kEventsWithoutUpdate{"GLHR_STR NotExist", "LHR_CHK 1.0.0.0"};
const std::vector<std::string> kEventsWithUpdate{"GLHR_STR NotExist", "LHR_CHK 1.0.0.0", "LHR_UPD 2.0.0.0"};

std::string httpReply(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

// The value of form field `name` in a request (bodies are not encoded).
std::string formField(const std::string& request, const std::string& name) {
    const std::size_t body = request.find("\r\n\r\n");
    if (body == std::string::npos) return "";
    const std::string text = "&" + request.substr(body + 4);
    const std::size_t at = text.find("&" + name + "=");
    if (at == std::string::npos) return "";
    const std::size_t start = at + name.size() + 2;
    return text.substr(start, text.find('&', start) - start);
}

// --- packages that cannot be installed ---------------------------------------

// Each try fails the same way: three tries, warning 113, and the installed
// launcher started as it was.
struct BadPackage {
    const char* name;
    // Lays out bad.zip in the served folder (which holds the good
    // client.zip); returns the extra options of the update service that
    // publish it.
    std::function<std::vector<std::string>(const std::filesystem::path& served)> publishBad;
    int code;                          // updateLauncherPackage's result for each try
    std::vector<std::string> eachTry;  // what each try logs before its tries line
};

void PrintTo(const BadPackage& c, std::ostream* os) {
    *os << c.name;
}

class BadPackages : public HostileGame, public ::testing::WithParamInterface<BadPackage> {};

TEST_P(BadPackages, ThreeTriesThenTheInstalledLauncherStartsAsItWasAndAGoodPackageInstallsNextRun) {
    const BadPackage& c = GetParam();
    const std::vector<std::string> options = c.publishBad(served());
    resnapshot();
    const std::string base = publish("2.0.0.0", "bad.zip", options);
    ASSERT_FALSE(base.empty());
    writeLauncherIni({base});

    const auto result = run();

    std::vector<std::string> logged{"[upgradeManager:386]launcherURL:"};
    for (int tries = kPackageTries - 1; tries >= 0; --tries) {
        for (const std::string& line : c.eachTry) logged.push_back(line);
        logged.push_back("[upgradeManager:396]download launcher.zip failed ResCode " + std::to_string(c.code) +
                         " tryTimes " + std::to_string(tries) + "\r\n");
    }
    logged.push_back(
        "[upgradeManager:190]_ThreadCheckVersion END with Load launcher or agent zip file failed rescode:2\r\n");
    logged.push_back("[upgradeManager:208]_ThreadCheckVersion END with start launcher.exe OK\r\n");
    expectOutcome(result, Expected().installs("1.0.0.0").logs(logged).shows({kBoxUpdateFailed}));
    EXPECT_EQ(events(), kEventsWithoutUpdate);
    EXPECT_EQ(countLogged("download launcher.zip failed ResCode"), std::size_t(kPackageTries));
    // The bad package was not kept for the next run to trust.
    EXPECT_FALSE(std::filesystem::exists(home.config() / "Keltora/morvel3/temp/client.upd"));

    // The operator publishes a good package: the next run installs it.
    stopLaunchers();
    ASSERT_FALSE(publish("2.0.0.0", "client.zip").empty());
    writeLauncherIni({service()->base()});
    const auto next = run();
    expectOutcome(next, Expected()
                            .installs("2.0.0.0")
                            .logs({"[upgradeManager:208]_ThreadCheckVersion END with start launcher.exe OK"})
                            .shows({}));
}

INSTANTIATE_TEST_SUITE_P(
    Server, BadPackages,
    ::testing::Values(
        // The right package, announced with another MD5.
        BadPackage{"Md5DoesNotMatch",
                   [](const std::filesystem::path& served) {
                       std::filesystem::copy_file(served / "client.zip", served / "bad.zip");
                       return std::vector<std::string>{"--md5", testsupport::md5Hex("another package")};
                   },
                   3,
                   {"[upgradeManager:605]Check Zip File MD5 failed path:",
                    "[upgradeManager:606]Check Zip File MD5 failed MD5:" + testsupport::md5Hex("another package")}},
        // An error page where the package should be, announced with its own
        // MD5: it passes the MD5 check and fails the unpacking, whole.
        BadPackage{"NotAZip",
                   [](const std::filesystem::path& served) {
                       writeFile(served / "bad.zip", "<html><body><h1>502 Bad Gateway</h1></body></html>\n");
                       return std::vector<std::string>{};
                   },
                   3,
                   {"[upgradeManager:622]UnZipFile failed dwRes:9999 "}},
        // A package that unpacks and then fails its own file check: its list
        // names a file it does not carry. Nothing of it may stay.
        BadPackage{
            "ListsAFileItLacks",
            [](const std::filesystem::path& served) {
                const std::string exe = readFile(testsupport::builtProgram("tools/sample-launcher/sample-launcher"));
                const std::string version = "launcher 2.0.0.0\n";
                const std::string db = "{\"files\":[{\"client/launcher.exe\":\"" + testsupport::md5Hex(exe) +
                                       "\"},{\"client/missing.dll\":\"" + testsupport::md5Hex("dll") +
                                       "\"},{\"client/version.txt\":\"" + testsupport::md5Hex(version) +
                                       "\"}],\"version\":\"2.0.0.0\"}";
                testsupport::ZipBuilder()
                    .unixFile("client/launcher.exe", exe, 0100755)
                    .unixFile("client/version.txt", version, 0100644)
                    .unixFile("client/launcher.db", db, 0100644)
                    .writeTo(served / "bad.zip");
                return std::vector<std::string>{};
            },
            5,
            {"[upgradeManager:512]check file not exist file:", "[upgradeManager:590]checkFileList failed \r\n"}},
        // A member whose data inflate to more than its declared size, listed
        // with the MD5 of the part it declares: the rest is not quietly cut
        // off, the unpacking fails (1024) before anything is checked.
        BadPackage{
            "MemberHoldsMoreThanItDeclares",
            [](const std::filesystem::path& served) {
                const std::string exe = readFile(testsupport::builtProgram("tools/sample-launcher/sample-launcher"));
                const std::string declared = "bytes of 2.0.0.0";
                const std::string db = "{\"files\":[{\"client/data/pieces.bin\":\"" + testsupport::md5Hex(declared) +
                                       "\"},{\"client/launcher.exe\":\"" + testsupport::md5Hex(exe) +
                                       "\"}],\"version\":\"2.0.0.0\"}";
                testsupport::ZipEntry pieces;
                pieces.name = "client/data/pieces.bin";
                pieces.data = declared + std::string(4u << 20, 'x');
                pieces.versionMadeBy = (3 << 8) | 30;
                pieces.externalAttributes = 0100644u << 16;
                pieces.declaredSize = static_cast<uint32_t>(declared.size());
                testsupport::ZipBuilder()
                    .unixFile("client/launcher.exe", exe, 0100755)
                    .add(pieces)
                    .unixFile("client/launcher.db", db, 0100644)
                    .writeTo(served / "bad.zip");
                return std::vector<std::string>{};
            },
            3,
            {"[upgradeManager:622]UnZipFile failed dwRes:1024 "}}),
    [](const ::testing::TestParamInfo<BadPackage>& param) { return std::string(param.param.name); });

// --- replies that cannot be used ---------------------------------------------

class HostileService : public HostileGame {
protected:
    // A service on a scripted server: every report answered {"status":1}
    // unless `report` says otherwise, every check with `check(nonce)`.
    std::unique_ptr<testsupport::ScriptedServer> scripted(
        std::function<std::string(const std::string& nonce)> check,
        std::function<std::string(const std::string& request)> report = [](const std::string&) {
            return httpReply("{\"status\":1}");
        }) {
        return std::make_unique<testsupport::ScriptedServer>([check, report](const std::string& request) {
            if (request.rfind("POST /log/startgame", 0) == 0) return report(request);
            return check(formField(request, "rnd"));
        });
    }
};

// A version to go to, but nowhere to fetch it from: each try ends at once
// (226: no url), warning 113, and 1.0.0.0 starts as it was.
TEST_F(HostileService, AReplyWithAVersionButNoUrlLeavesOneZeroStarted) {
    auto server = scripted([this](const std::string& nonce) {
        return httpReply("{\"rnd\":\"" + nonce + "\",\"ver\":\"2.0.0.0\",\"ip\":\"127.0.0.1\",\"md5\":\"" +
                         packageMd5() + "\"}");
    });
    writeLauncherIni({server->base()});

    const auto result = run();

    std::vector<std::string> logged{"[upgradeManager:386]launcherURL:\r\n"};
    for (int tries = kPackageTries - 1; tries >= 0; --tries) {
        logged.push_back("[upgradeManager:570]DownLoadFile failed loadUrl: loadRes:226\r\n");
        logged.push_back("[upgradeManager:396]download launcher.zip failed ResCode 226 tryTimes " +
                         std::to_string(tries) + "\r\n");
    }
    logged.push_back("[upgradeManager:208]_ThreadCheckVersion END with start launcher.exe OK\r\n");
    expectOutcome(result, Expected().installs("1.0.0.0").logs(logged).shows({kBoxUpdateFailed}));
}

// A url carrying CR LF and a line of the log's own shape cannot add a line:
// it is written escaped on its own line, and the run goes on as for any url
// that cannot be fetched.
TEST_F(HostileService, AUrlWithLineBreaksCannotForgeALogLine) {
    auto server = scripted([this](const std::string& nonce) {
        return httpReply("{\"rnd\":\"" + nonce +
                         "\",\"ver\":\"2.0.0.0\",\"ip\":\"127.0.0.1\",\"url\":\"http://127.0.0.1:1/a.zip"
                         "\\r\\n[upgradeManager:999]forged\\u0007\",\"md5\":\"" +
                         packageMd5() + "\"}");
    });
    writeLauncherIni({server->base()});

    const auto result = run();

    expectOutcome(result,
                  Expected()
                      .installs("1.0.0.0")
                      .logs({"[upgradeManager:386]launcherURL:http://127.0.0.1:1/a.zip\\r\\n[upgradeManager:999]"
                             "forged\\x07\r\n",
                             "[upgradeManager:208]_ThreadCheckVersion END with start launcher.exe OK\r\n"})
                      .logsNot({"\n[upgradeManager:999]", "\r[upgradeManager:999]", "\x07"})
                      .shows({kBoxUpdateFailed}));
}

// A check reply of many megabytes, correct in every other way and naming
// another package: it is cut off at 1 MiB as a failed attempt (23), and the
// next slot's real service is used. Reports there fail the same way.
TEST_F(HostileService, ACheckReplyOfManyMegabytesIsRefusedAndTheNextSlotUpdates) {
    const std::string padding(48u * 1024 * 1024, 'p');
    auto huge = scripted(
        [&padding](const std::string& nonce) {
            return httpReply("{\"pad\":\"" + padding + "\",\"rnd\":\"" + nonce +
                             "\",\"ver\":\"6.6.6.6\",\"ip\":\"127.0.0.1\",\"url\":\"http://127.0.0.1:1/evil.zip\","
                             "\"md5\":\"00000000000000000000000000000000\"}");
        },
        [&padding](const std::string&) { return httpReply("{\"status\":1,\"pad\":\"" + padding + "\"}"); });
    const std::string base = publish("2.0.0.0");
    ASSERT_FALSE(base.empty());
    writeLauncherIni({huge->base(), base});

    const auto result = run();

    expectOutcome(result, Expected()
                              .installs("2.0.0.0")
                              .logs({"[KTUpgrade:467]HTTP POST FAILE: postRes:23  postResCode:0\r\n",
                                     "[KTUpgrade:724]POST FAILE: postRes:23  postResCode:0\r\n",
                                     "[upgradeManager:386]launcherURL:" + base + "files/client.zip\r\n",
                                     "[upgradeManager:208]_ThreadCheckVersion END with start launcher.exe OK\r\n"})
                              .logsNot({"evil.zip", "6.6.6.6", "DataReport_common failed"})
                              .shows({}));
    EXPECT_EQ(events(), kEventsWithUpdate);
}

// A report endpoint that takes the connection and never answers: each of the
// three reports gives up after its 10 s, the check and the update go on,
// and the new launcher starts.
TEST_F(HostileService, AReportEndpointThatNeverAnswersDelaysButDoesNotStopTheRun) {
    const std::string base = publish("2.0.0.0");
    ASSERT_FALSE(base.empty());
    const std::string url = base + "files/client.zip";
    auto server = scripted(
        [&](const std::string& nonce) {
            return httpReply("{\"rnd\":\"" + nonce + "\",\"ver\":\"2.0.0.0\",\"ip\":\"127.0.0.1\",\"url\":\"" + url +
                             "\",\"md5\":\"" + packageMd5() + "\"}");
        },
        [](const std::string&) { return std::string(); });  // held until the client gives up
    writeLauncherIni({server->base()});

    const auto result = run();

    expectOutcome(result, Expected()
                              .installs("2.0.0.0")
                              .logs({"[KTUpgrade:467]HTTP POST FAILE: postRes:28  postResCode:0\r\n",
                                     "[GameLauncher:176] DataReport_common failed evt:GLHR_STR reportRes:-2\r\n",
                                     "[upgradeManager:542] DataReport_common failed evt:LHR_CHK reportRes:-2\r\n",
                                     "[upgradeManager:386]launcherURL:" + url + "\r\n",
                                     "[upgradeManager:542] DataReport_common failed evt:LHR_UPD reportRes:-2\r\n",
                                     "[upgradeManager:208]_ThreadCheckVersion END with start launcher.exe OK\r\n"})
                              .shows({}));
    EXPECT_EQ(countLogged("HTTP POST FAILE: postRes:28"), 3u);
}

}  // namespace
}  // namespace hostile
