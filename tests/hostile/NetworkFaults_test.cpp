// The network turns hostile under a player's update from 1.0.0.0 to 2.0.0.0:
// a piece's connection reset half-way, a server that stalls after the
// headers, a one-byte-a-second trickle, the package server (nginx) killed
// mid-download, and service slots that are dead or answer garbage. Every run
// ends; either 2.0.0.0 is installed complete and started, or 1.0.0.0 is
// intact and started; the log tells which; nothing outside changed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <memory>

#include "hostile/HostileGame.h"
#include "hostile/RawFileServer.h"
#include "support/ScriptedServer.h"
#include "support/TempHome.h"
#include "support/TestData.h"
#include "support/WaitUntil.h"

namespace hostile {
namespace {

using testsupport::readFile;

constexpr uint64_t kPiece = 32768;

// The log's account of a download that failed with 230: one attempt (230
// ends the tries at once), warning 113, the installed launcher started.
// `loaderEnd`: how the failing piece thread ended, when the case knows.
std::vector<std::string> failedDownloadAccount(const std::string& url, const std::string& loaderEnd = "") {
    std::vector<std::string> lines{"[upgradeManager:386]launcherURL:" + url};
    if (!loaderEnd.empty()) lines.push_back(" quit with exitCode " + loaderEnd + " lastErrCode");
    for (const std::string& line :
         {"[upgradeManager:570]DownLoadFile failed loadUrl:" + url + " loadRes:230\r\n",
          std::string("[upgradeManager:396]download launcher.zip failed ResCode 230 tryTimes 2\r\n"),
          std::string(
              "[upgradeManager:190]_ThreadCheckVersion END with Load launcher or agent zip file failed rescode:2\r\n"),
          std::string("[upgradeManager:208]_ThreadCheckVersion END with start launcher.exe OK\r\n")}) {
        lines.push_back(line);
    }
    return lines;
}

const std::vector<std::string> kEventsWithoutUpdate{"GLHR_STR NotExist", "LHR_CHK 1.0.0.0"};
const std::vector<std::string> kEventsWithUpdate{"GLHR_STR NotExist", "LHR_CHK 1.0.0.0", "LHR_UPD 2.0.0.0"};

// --- faults inside one piece -------------------------------------------------

struct PieceFault {
    const char* name;
    RawFileServer::Fault fault;
    int times;              // faulty answers to piece 1 (-1: every one)
    bool updateFinishes;    // a retry gets through
    const char* loaderEnd;  // how the failing piece thread ended ("" when it did not fail)
};

void PrintTo(const PieceFault& c, std::ostream* os) {
    *os << c.name;
}

class PieceFaults : public HostileGame, public ::testing::WithParamInterface<PieceFault> {};

TEST_P(PieceFaults, TheRunEndsWithALauncherThatIsCompleteAndStarted) {
    const PieceFault& c = GetParam();
    ASSERT_GT(std::filesystem::file_size(package()), 3 * kPiece) << "the package must span several pieces";
    RawFileServer server(readFile(package()), c.fault, kPiece, c.times);
    // Stalls and trickles end by the download time-out: keep it short.
    writeWaitTime(2);
    const std::string base = publish("2.0.0.0", "client.zip", {"--package-url", server.url(), "--md5", packageMd5()});
    ASSERT_FALSE(base.empty());
    writeLauncherIni({base});

    const auto result = run();

    const std::string piece1 = "GET 32768-65535";
    if (c.updateFinishes) {
        expectOutcome(result, Expected()
                                  .installs("2.0.0.0")
                                  .logs({"[upgradeManager:386]launcherURL:" + server.url(),
                                         "[upgradeManager:208]_ThreadCheckVersion END with start launcher.exe OK"})
                                  .logsNot({"DownLoadFile failed", "failed ResCode"})
                                  .shows({}));
        EXPECT_EQ(events(), kEventsWithUpdate);
        // The broken piece was asked for again, and only that one.
        EXPECT_EQ(server.count(piece1), static_cast<std::size_t>(c.times) + 1);
        EXPECT_EQ(server.count("GET 0-32767"), 1u);
    } else {
        expectOutcome(result, Expected()
                                  .installs("1.0.0.0")
                                  .logs(failedDownloadAccount(server.url(), c.loaderEnd))
                                  .shows({kBoxUpdateFailed}));
        EXPECT_EQ(events(), kEventsWithoutUpdate);
        // Three tries of that piece, then the download gave up.
        EXPECT_EQ(server.count(piece1), 3u);
    }
    EXPECT_EQ(server.faultsCommitted(), c.times < 0 ? 3 : c.times);
}

INSTANTIATE_TEST_SUITE_P(Network, PieceFaults,
                         ::testing::Values(
                             // A reset that a retry survives: the update goes through.
                             PieceFault{"ResetOnceMidPiece", RawFileServer::Fault::ResetMidPiece, 1, true, ""},
                             // A reset on every try of one piece: the download fails, 1.0.0.0 stays.
                             PieceFault{"ResetOnEveryTry", RawFileServer::Fault::ResetMidPiece, -1, false, ""},
                             // Headers, then silence: each try ends at CURL_WAITETIME (28: timed out).
                             PieceFault{"StallAfterHeaders", RawFileServer::Fault::StallAfterHeaders, -1, false, "28"},
                             // A byte a second: never done within CURL_WAITETIME.
                             PieceFault{"OneBytePerSecond", RawFileServer::Fault::Trickle, -1, false, "28"}),
                         [](const ::testing::TestParamInfo<PieceFault>& param) {
                             return std::string(param.param.name);
                         });

// --- the package server disappears -------------------------------------------

class PackageServerGone : public HostileGame {};

TEST_F(PackageServerGone, NginxKilledMidDownloadLeavesOneZeroStartedAndTheNextRunUpdates) {
    ASSERT_FALSE(nginxProgram().empty()) << "nginx is not installed (scripts/setup installs nginx-light)";
    // A package of many pieces, served slowly enough to be cut off half-way.
    const std::string md5 = makePackage("2.0.0.0", served() / "big.zip",
                                        {{"client/data/big.bin", testsupport::patternBytes(2 * 1024 * 1024)}});
    ASSERT_EQ(md5.size(), 32u);
    resnapshot();
    auto nginx = std::make_unique<Nginx>(serverState() / "nginx", served(), "limit_rate 128k;");
    ASSERT_TRUE(nginx->running()) << readFile(serverState() / "nginx/logs/error.log");
    writeWaitTime(5);
    const std::string url = nginx->url("big.zip");
    ASSERT_FALSE(publish("2.0.0.0", "big.zip", {"--package-url", url, "--md5", md5}).empty());
    writeLauncherIni({service()->base()});

    testsupport::RunResult result;
    std::thread player([&] { result = run(); });
    // nginx logs a request once it is answered: after a few pieces, it goes.
    const bool midway = testsupport::waitUntil(
        [&] {
            const std::string log = nginx->accessLog();
            std::size_t pieces = 0;
            for (std::size_t at = log.find("\" 206 "); at != std::string::npos; at = log.find("\" 206 ", at + 1)) {
                ++pieces;
            }
            return pieces >= 4;
        },
        std::chrono::seconds(60));
    nginx->kill();
    player.join();
    ASSERT_TRUE(midway) << "the download never got going\n" << nginx->accessLog();

    // 7: the server is gone, connections are refused.
    expectOutcome(result,
                  Expected().installs("1.0.0.0").logs(failedDownloadAccount(url, "7")).shows({kBoxUpdateFailed}));
    EXPECT_EQ(events(), kEventsWithoutUpdate);

    // The server comes back (on another port, as a restarted one may): the
    // next run fetches the package whole, over what the cut-off left behind.
    stopLaunchers();
    nginx = std::make_unique<Nginx>(serverState() / "nginx2", served());
    ASSERT_TRUE(nginx->running());
    ASSERT_FALSE(publish("2.0.0.0", "big.zip", {"--package-url", nginx->url("big.zip"), "--md5", md5}).empty());
    writeLauncherIni({service()->base()});
    const auto again = run();
    expectOutcome(again, Expected()
                             .installs("2.0.0.0")
                             .logs({"[upgradeManager:386]launcherURL:" + nginx->url("big.zip"),
                                    "[upgradeManager:208]_ThreadCheckVersion END with start launcher.exe OK"})
                             .shows({}));
}

// --- service slots -----------------------------------------------------------

// A loopback port that refuses connections: bound, read back, closed.
std::string deadSlot() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/";
}

std::string httpReply(const std::string& status, const std::string& body) {
    return "HTTP/1.1 " + status + "\r\nContent-Type: text/html\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

// Misbehaving service slots, each answering every request the same way.
enum class Slot { Good, Dead, HtmlPage, ServerError, WrongNonce, NotJson };

struct SlotCase {
    const char* name;
    std::vector<Slot> slots;
    // A report takes any reply in braces as an answer: reports reach the
    // real service only when no such slot comes before it.
    bool reportsReachService;
};

void PrintTo(const SlotCase& c, std::ostream* os) {
    *os << c.name;
}

class ServiceSlots : public HostileGame, public ::testing::WithParamInterface<SlotCase> {};

TEST_P(ServiceSlots, TheFirstGoodSlotIsUsedAndWithoutOneTheInstalledLauncherStarts) {
    const SlotCase& c = GetParam();
    const std::string base = publish("2.0.0.0");
    ASSERT_FALSE(base.empty());
    std::vector<std::unique_ptr<testsupport::ScriptedServer>> servers;
    std::vector<std::string> urls;
    bool anyGood = false;
    for (Slot s : c.slots) {
        std::string reply;
        switch (s) {
            case Slot::Good:
                urls.push_back(base);
                anyGood = true;
                continue;
            case Slot::Dead:
                urls.push_back(deadSlot());
                continue;
            case Slot::HtmlPage:
                reply = httpReply("200 OK", "<html><body>Welcome to our portal</body></html>");
                break;
            case Slot::ServerError:
                reply = httpReply("500 Internal Server Error", "{\"error\":\"down\"}");
                break;
            case Slot::WrongNonce:
                reply = httpReply("200 OK",
                                  "{\"rnd\":\"stale\",\"ver\":\"6.6.6.6\",\"ip\":\"1.2.3.4\","
                                  "\"url\":\"http://127.0.0.1:1/evil.zip\",\"md5\":\"00\"}");
                break;
            case Slot::NotJson:
                reply = httpReply("200 OK", "{ this is not JSON }");
                break;
        }
        servers.push_back(std::make_unique<testsupport::ScriptedServer>([reply](const std::string&) { return reply; }));
        urls.push_back(servers.back()->base());
    }
    writeLauncherIni(urls);

    const auto result = run();

    if (anyGood) {
        expectOutcome(result, Expected()
                                  .installs("2.0.0.0")
                                  .logs({"[upgradeManager:386]launcherURL:" + base + "files/client.zip",
                                         "[upgradeManager:208]_ThreadCheckVersion END with start launcher.exe OK"})
                                  .logsNot({"6.6.6.6", "evil.zip"})
                                  .shows({}));
        EXPECT_EQ(events(), c.reportsReachService ? kEventsWithUpdate : std::vector<std::string>{});
    } else {
        expectOutcome(result,
                      Expected()
                          .installs("1.0.0.0")
                          .logs({"[KTUpgrade:764]TRY Finished buf failed",
                                 "[upgradeManager:318]checkLauncherUpgrade failed resVal:-2 \r\n",
                                 "[upgradeManager:175]_ThreadCheckVersion END with getUpdateUrl failed rescode:-2",
                                 "[upgradeManager:208]_ThreadCheckVersion END with start launcher.exe OK"})
                          .logsNot({"launcherURL:"})
                          .shows({kBoxParseFailed}));
        EXPECT_EQ(events(), std::vector<std::string>{});
    }
    // Every bad slot was tried, in order, before the good one.
    const std::string text = log();
    std::size_t at = 0;
    for (const std::string& url : urls) {
        at = text.find("[KTUpgrade:718]POST INFO: " + url + "launcher/check?", at);
        EXPECT_NE(at, std::string::npos) << url;
        if (url == base || at == std::string::npos) break;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Network, ServiceSlots,
    ::testing::Values(
        SlotCase{"DeadHtmlErrorThenGood", {Slot::Dead, Slot::HtmlPage, Slot::ServerError, Slot::Good}, true},
        SlotCase{"WrongNonceNotJsonDeadThenGood", {Slot::WrongNonce, Slot::NotJson, Slot::Dead, Slot::Good}, false},
        SlotCase{"AllFourBad", {Slot::Dead, Slot::HtmlPage, Slot::WrongNonce, Slot::NotJson}, false}),
    [](const ::testing::TestParamInfo<SlotCase>& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace hostile
