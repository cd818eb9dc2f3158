// The built program, run from a game folder whose launcher.ini points at the
// reference update service, reports its start exactly once; and the service
// answers the client's update check and serves the package it names.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <openssl/evp.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "foundation/Log.h"
#include "service/KTUpgrade.h"
#include "support/GameFolder.h"
#include "support/Process.h"
#include "support/TempHome.h"
#include "support/TestData.h"
#include "support/UpdateService.h"
#include "transfer/Loader.h"

namespace fs = std::filesystem;
using testsupport::readFile;

namespace {

using testsupport::UpdateService;


using StartReport = testsupport::GameFolderTest;

TEST_F(StartReport, OneStartEventPerRun) {
    struct Case {
        const char* what;
        const char* versionFile;  // null: none
        bool configured;
        const char* reportReply;
        std::size_t events;
        std::string ver;
        std::vector<std::string> logged;
        std::vector<std::string> notLogged;
    };
    const std::string dbPath = (game / "gamelauncher.db").string();
    const Case cases[] = {
        {"version file",
         "{\"version\":\"1.0.0.15\"}\r\n",
         true,
         "{\"status\":1}",
         1,
         "1.0.0.15",
         {"[KTUpgrade:461]POST INFO: %Blog/startgame?cid="},
         {"[GameLauncher:176]", "[GameLauncher:81]", "[KTUpgrade:467]"}},
        {"no version file",
         nullptr,
         true,
         "{\"status\":1}",
         1,
         "NotExist",
         {"[GameLauncher:188]File not exist path:" + dbPath, "[GameLauncher:81]praseVersionFile praseRes:-1",
          "&event=GLHR_STR&sid=0&ver=NotExist&user=0&ext="},
         {"[GameLauncher:176]"}},
        {"version file without a version",
         "{}\n",
         true,
         "{\"status\":1}",
         1,
         "NotExist",
         {"[GameLauncher:226]find version failed str:{}", "[GameLauncher:81]praseVersionFile praseRes:-3"},
         {"[GameLauncher:176]"}},
        {"event refused",
         "{\"version\":\"2.0\"}\n",
         true,
         "{\"status\":0}",
         1,
         "2.0",
         {"[GameLauncher:176] DataReport_common failed evt:GLHR_STR reportRes:1"},
         {}},
        {"no server configured",
         "{\"version\":\"2.0\"}\n",
         false,
         "{\"status\":1}",
         0,
         "",
         {"[KTUpgrade:467]HTTP POST FAILE: postRes:3  postResCode:0", "[KTUpgrade:486]TRY Finished buf failed",
          "[GameLauncher:176] DataReport_common failed evt:GLHR_STR reportRes:-2"},
         {}},
    };
    for (const auto& c : cases) {
        const fs::path events = home.root() / (std::string("events-") + std::to_string(&c - cases) + ".jsonl");
        fs::remove(game / "gamelauncher.db");
        if (c.versionFile != nullptr) testsupport::writeFile(game / "gamelauncher.db", c.versionFile);
        fs::remove_all(home.logFolder());
        std::string base;
        {
            UpdateService service({"--events", events.string(), "--report-reply", c.reportReply, "--quiet"});
            base = service.base();
            ASSERT_EQ(base.rfind("http://127.0.0.1:", 0), 0u) << base;
            testsupport::writeFile(game / "launcher.ini",
                                   c.configured ? "[UPGRADE]\r\nSERVER_UPGRADE_0=" + base + "\r\n" : "[UPGRADE]\r\n");
            const auto run = runWithoutWorkflow();
            ASSERT_EQ(run.exitCode, 0) << c.what << "\n" << run.output;
        }
        // Later steps of a run may report other events; the start event is
        // the first and comes exactly once.
        const auto lines = testsupport::textLines(readFile(events));
        std::size_t starts = 0;
        for (const auto& l : lines) starts += l.find("\"event\":\"GLHR_STR\"") != std::string::npos ? 1 : 0;
        ASSERT_EQ(starts, c.events) << c.what;
        if (c.events == 1) {
            EXPECT_NE(lines[0].find("\"path\":\"log/startgame\""), std::string::npos) << lines[0];
            EXPECT_NE(lines[0].find("\"event\":\"GLHR_STR\""), std::string::npos) << lines[0];
            EXPECT_NE(lines[0].find("\"ver\":\"" + c.ver + "\""), std::string::npos) << lines[0];
            EXPECT_NE(lines[0].find("\"ext\":\"\",\"body\":\"cid="), std::string::npos) << lines[0];
        }
        const std::string text = log();
        for (std::string expected : c.logged) {
            const std::size_t at = expected.find("%B");
            if (at != std::string::npos) expected.replace(at, 2, base);
            EXPECT_NE(text.find(expected), std::string::npos) << c.what << ": " << expected << "\n" << text;
        }
        for (const auto& absent : c.notLogged) {
            EXPECT_EQ(text.find(absent), std::string::npos) << c.what << ": " << absent << "\n" << text;
        }
        // The report comes after the game path record and before the exit line.
        const std::size_t record = text.find("[GameLauncher:284]WriteFile OK");
        const std::size_t post = text.find("[KTUpgrade:461]POST INFO:");
        const std::size_t exitLine = text.find("[GameLauncher:154]GameLauncher Exit");
        EXPECT_LT(record, post) << c.what;
        EXPECT_LT(post, exitLine) << c.what;
    }
}

int dropLine(const wchar_t*) {
    return 0;
}

std::string md5Hex(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &len, EVP_md5(), nullptr);
    std::string hex;
    for (unsigned int i = 0; i < len; ++i) {
        char b[3];
        std::snprintf(b, sizeof b, "%02x", digest[i]);
        hex += b;
    }
    return hex;
}

TEST_F(StartReport, ServiceAnswersTheCheckAndServesThePackage) {
    std::string package(100000, '\0');
    for (std::size_t i = 0; i < package.size(); ++i) package[i] = static_cast<char>((i * 7919) >> 3);
    testsupport::writeFile(home.root() / "packages/client.zip", package);
    const fs::path checks = home.root() / "checks.jsonl";
    UpdateService service({"--files", (home.root() / "packages").string(), "--package", "client.zip", "--version",
                           "1.2.3.4", "--ip", "127.0.0.1", "--checks", checks.string(), "--quiet"});
    ASSERT_FALSE(service.base().empty());
    testsupport::writeFile(game / "launcher.ini", "[UPGRADE]\nSERVER_UPGRADE_0=" + service.base() + "\n");

    const std::wstring folder = game.wstring();
    KTUpgrade client(folder.c_str(), dropLine);
    char url[1024] = {}, ip[32] = {}, ver[32] = {}, md5[64] = {};
    EXPECT_EQ(client.checkLauncherUpgrade("1.0.0.0", url, ip, ver, md5), 1);
    EXPECT_EQ(std::string(url), service.base() + "files/client.zip");
    EXPECT_EQ(std::string(ip), "127.0.0.1");
    EXPECT_EQ(std::string(ver), "1.2.3.4");
    EXPECT_EQ(std::string(md5), md5Hex(package));
    EXPECT_EQ(client.checkLauncherUpgrade("1.2.3.4", url, ip, ver, md5), 0);
    const auto recorded = testsupport::textLines(readFile(checks));
    ASSERT_EQ(recorded.size(), 2u);
    EXPECT_NE(recorded[0].find("\"app\":\"launcher\",\"ver\":\"1.0.0.0\""), std::string::npos) << recorded[0];

    // What the downloader relies on: HEAD with the length, ranged GETs.
    httplib::Client http(service.base().substr(0, service.base().size() - 1));
    const auto head = http.Head("/files/client.zip");
    ASSERT_TRUE(head);
    EXPECT_EQ(head->status, 200);
    EXPECT_EQ(head->get_header_value("Content-Length"), "100000");
    const auto piece = http.Get("/files/client.zip", {{"Range", "bytes=32768-65535"}});
    ASSERT_TRUE(piece);
    EXPECT_EQ(piece->status, 206);
    EXPECT_EQ(piece->body, package.substr(32768, 32768));
    const auto tail = http.Get("/files/client.zip", {{"Range", "bytes=98304-"}});
    ASSERT_TRUE(tail);
    EXPECT_EQ(tail->status, 206);
    EXPECT_EQ(tail->body, package.substr(98304));
    const auto missing = http.Get("/files/other.zip");
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->status, 404);
}

// The service's file route as the segmented downloader uses it: thousands of
// ranged requests on one connection, files published while it runs, and
// nothing outside the served folder reachable.
class UpdateServiceFiles : public ::testing::Test {
protected:
    void SetUp() override {
        served = home.root() / "packages";
        fs::create_directories(served / "sub");
        testsupport::writeFile(home.root() / "secret.txt", "not to be served");
        fs::create_symlink("../../secret.txt", served / "sub/link.txt");
    }
    testsupport::TempHome home;
    fs::path served;
};

TEST_F(UpdateServiceFiles, SegmentedDownloadOfAFilePublishedAfterStartIsByteExact) {
    UpdateService service({"--files", served.string(), "--quiet"});
    ASSERT_FALSE(service.base().empty());
    // 33 pieces, the last of one byte; published by rename, as a release is.
    const std::string package = testsupport::patternBytes(1048577);
    testsupport::writeFile(served / "client.zip.part", package);
    fs::rename(served / "client.zip.part", served / "client.zip");

    Loader* loader = Loader::instance(nullptr, nullptr, 30);
    ASSERT_NE(loader, nullptr);
    HttpOperation http;
    DownloadTask task;
    std::snprintf(task.url, sizeof(task.url), "%sfiles/client.zip", service.base().c_str());
    const fs::path folder = home.data() / "download";
    std::swprintf(task.folder, 1024, L"%ls/", folder.wstring().c_str());
    std::swprintf(task.fileName, 512, L"%ls", L"client.upd");
    EXPECT_EQ(loader->DownLoadFile(&task, &http, 0), 0);
    delete loader;
    ReleaseLogger();
    EXPECT_EQ(task.fileSize, 1048577u);
    EXPECT_EQ(task.blockCount, 33u);
    const std::string got = readFile(folder / "client.upd");
    EXPECT_EQ(got.size(), package.size());
    EXPECT_TRUE(got == package) << "content differs";

    // A file replaced while the service runs is served with its new bytes.
    const std::string next = testsupport::patternBytes(70000, 88172645u);
    testsupport::writeFile(served / "client.zip.part", next);
    fs::rename(served / "client.zip.part", served / "client.zip");
    httplib::Client client(service.base().substr(0, service.base().size() - 1));
    const auto again = client.Get("/files/client.zip", {{"Range", "bytes=65536-"}});
    ASSERT_TRUE(again);
    EXPECT_EQ(again->status, 206);
    EXPECT_EQ(again->get_header_value("Content-Range"), "bytes 65536-69999/70000");
    EXPECT_TRUE(again->body == next.substr(65536));
}

TEST_F(UpdateServiceFiles, AnswersOutsideTheFileOrTheFolder) {
    const std::string package = testsupport::patternBytes(100000);
    testsupport::writeFile(served / "client.zip", package);
    testsupport::writeFile(served / "empty.zip", "");
    UpdateService service({"--files", served.string(), "--quiet"});
    ASSERT_FALSE(service.base().empty());
    httplib::Client client(service.base().substr(0, service.base().size() - 1));
    struct Case {
        const char* path;
        const char* range;  // empty: none
        int status;
        const char* contentRange;  // empty: no such header
        std::string body;
    };
    const Case cases[] = {
        {"/files/client.zip", "bytes=0-0", 206, "bytes 0-0/100000", package.substr(0, 1)},
        {"/files/client.zip", "bytes=99999-", 206, "bytes 99999-99999/100000", package.substr(99999)},
        {"/files/client.zip", "bytes=98304-131071", 206, "bytes 98304-99999/100000", package.substr(98304)},
        {"/files/client.zip", "bytes=-10", 206, "bytes 99990-99999/100000", package.substr(99990)},
        {"/files/client.zip", "bytes=-200000", 206, "bytes 0-99999/100000", package},
        {"/files/client.zip", "bytes=100000-", 416, "bytes */100000", ""},
        {"/files/client.zip", "bytes=131072-163839", 416, "bytes */100000", ""},
        {"/files/client.zip", "bytes=0-1,5-6", 416, "bytes */100000", ""},
        {"/files/empty.zip", "", 200, "", ""},
        {"/files/empty.zip", "bytes=0-32767", 416, "bytes */0", ""},
        {"/files/other.zip", "", 404, "", ""},
        {"/files/other.zip", "bytes=0-32767", 404, "", ""},
        {"/files/sub", "", 404, "", ""},
        {"/files/../secret.txt", "", 404, "", ""},
        {"/files/sub/../../secret.txt", "", 404, "", ""},
        {"/files/%2e%2e/secret.txt", "", 404, "", ""},
        {"/files/sub/../client.zip", "", 404, "", ""},
        {"/files/./client.zip", "", 404, "", ""},
        {"/files//etc/passwd", "", 404, "", ""},
        {"/files/%2fetc/passwd", "", 404, "", ""},
        {"/files/sub/link.txt", "", 404, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " " + c.range);
        httplib::Headers headers;
        if (*c.range != '\0') headers.emplace("Range", c.range);
        const auto res = client.Get(c.path, headers);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, c.status);
        EXPECT_EQ(res->get_header_value("Content-Range"), c.contentRange);
        EXPECT_TRUE(res->body == c.body) << res->body.size() << " bytes";
        EXPECT_EQ(res->get_header_value("Content-Length"), std::to_string(c.body.size()));
    }
    const auto head = client.Head("/files/client.zip", {{"Range", "bytes=32768-65535"}});
    ASSERT_TRUE(head);
    EXPECT_EQ(head->status, 206);
    EXPECT_EQ(head->get_header_value("Content-Length"), "32768");
    EXPECT_EQ(head->get_header_value("Content-Range"), "bytes 32768-65535/100000");
}

}  // namespace
