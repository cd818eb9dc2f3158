// The update service's crash upload: every part of a multipart upload is
// stored byte for byte in one folder per upload, no name sent by a client
// reaches outside that folder, and oversized or malformed uploads are
// refused without leaving anything behind.
#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "support/TempHome.h"
#include "support/UpdateService.h"

namespace fs = std::filesystem;
using testsupport::readFile;

namespace {

constexpr const char* kPath = "/index.php/crashReport/uploadExternal";

std::vector<fs::path> entries(const fs::path& folder) {
    std::vector<fs::path> out;
    if (!fs::exists(folder)) return out;
    for (const auto& e : fs::directory_iterator(folder)) out.push_back(e.path());
    return out;
}

std::set<std::string> namesIn(const fs::path& folder) {
    std::set<std::string> out;
    for (const auto& p : entries(folder)) out.insert(p.filename().string());
    return out;
}

// Every file below `root`, as paths relative to it.
std::set<std::string> allFilesBelow(const fs::path& root) {
    std::set<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        if (e.is_regular_file()) out.insert(fs::relative(e.path(), root).string());
    }
    return out;
}

class CrashUpload : public ::testing::Test {
protected:
    fs::path store() const { return home.root() / "crashes"; }
    httplib::Client client(const testsupport::UpdateService& service) {
        httplib::Client c("http://" + service.hostAndPort());
        c.set_connection_timeout(10);
        c.set_read_timeout(30);
        return c;
    }
    testsupport::TempHome home;
};

TEST_F(CrashUpload, StoresEveryPartByteForByteAndAnswersItsId) {
    testsupport::UpdateService service({"--quiet", "--crash-dir", store().string()});
    ASSERT_FALSE(service.base().empty());
    std::string binary;
    for (int i = 0; i < 4096; ++i) binary.push_back(static_cast<char>(i % 256));
    const httplib::MultipartFormDataItems items = {
        {"app", "morvel3_launcher", "", ""},
        {"crash", "crash.txt\n", "crash.txt", "application/octet-stream"},
        {"attachment", binary, "log_glauncher_20261210.log", "application/octet-stream"},
    };
    auto c = client(service);
    const auto res = c.Post(kPath, items);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    const auto folders = entries(store());
    ASSERT_EQ(folders.size(), 1u);
    const std::string id = folders[0].filename().string();
    EXPECT_EQ(res->body, "{\"status\":1,\"id\":\"" + id + "\"}");
    EXPECT_EQ(namesIn(folders[0]),
              (std::set<std::string>{"app", "crash.txt", "log_glauncher_20261210.log", "upload.json"}));
    EXPECT_EQ(readFile(folders[0] / "app"), "morvel3_launcher");
    EXPECT_EQ(readFile(folders[0] / "crash.txt"), "crash.txt\n");
    EXPECT_EQ(readFile(folders[0] / "log_glauncher_20261210.log"), binary);
    const std::string manifest = readFile(folders[0] / "upload.json");
    EXPECT_NE(manifest.find("{\"name\":\"attachment\",\"filename\":\"log_glauncher_20261210.log\",\"content_type\":"
                            "\"application/octet-stream\",\"size\":4096,\"stored\":\"log_glauncher_20261210.log\"}"),
              std::string::npos)
        << manifest;

    // A second upload gets a folder and an id of its own.
    const auto again = c.Post(kPath, items);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->status, 200);
    EXPECT_EQ(entries(store()).size(), 2u);
    EXPECT_NE(again->body, res->body);
}

TEST_F(CrashUpload, NoNameSentLeavesTheUploadFolder) {
    testsupport::UpdateService service({"--quiet", "--crash-dir", store().string()});
    ASSERT_FALSE(service.base().empty());
    const httplib::MultipartFormDataItems items = {
        {"a", "1", "../../escape", ""},       {"b", "2", "/etc/passwd", ""}, {"c", "3", "..", ""},
        {"d", "4", ".hidden", ""},            {"e", "5", "C:\\x\\y.log", ""}, {"../f", "6", "", ""},
        {"g", "7", "passwd", ""},             {"h", "8", "upload.json", ""}, {"i", "9", "a b\x01\xc3\xa9", ""},
        {"j", "10", std::string(300, 'n'), ""},
    };
    auto c = client(service);
    const auto res = c.Post(kPath, items);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    const auto folders = entries(store());
    ASSERT_EQ(folders.size(), 1u);
    const std::string id = folders[0].filename().string();
    std::set<std::string> expected = {"escape", "passwd", "part", "hidden", "y.log", "f", "passwd-2", "upload.json-2",
                                      "a_b___", std::string(100, 'n'), "upload.json"};
    std::set<std::string> stored;
    for (const auto& name : expected) stored.insert(id + "/" + name);
    EXPECT_EQ(allFilesBelow(store()), stored);
    EXPECT_EQ(readFile(folders[0] / "passwd-2"), "7");
    EXPECT_EQ(readFile(folders[0] / "upload.json-2"), "8");
    EXPECT_FALSE(fs::exists(home.root() / "escape"));
}

TEST_F(CrashUpload, RefusedUploadsLeaveNothing) {
    testsupport::UpdateService service({"--quiet", "--crash-dir", store().string(), "--crash-max-bytes", "2000"});
    ASSERT_FALSE(service.base().empty());
    auto c = client(service);
    struct Case {
        const char* what;
        int status;
        httplib::Result (*send)(httplib::Client&);
    };
    const Case cases[] = {
        {"larger than the bound", 413,
         [](httplib::Client& cl) {
             return cl.Post(kPath, httplib::MultipartFormDataItems{{"f", std::string(5000, 'x'), "big.log", ""}});
         }},
        {"not multipart", 400, [](httplib::Client& cl) { return cl.Post(kPath, "a=1&b=2", "application/x-www-form-urlencoded"); }},
        {"no parts", 400, [](httplib::Client& cl) { return cl.Post(kPath, httplib::MultipartFormDataItems{}); }},
    };
    for (const Case& cs : cases) {
        SCOPED_TRACE(cs.what);
        const auto res = cs.send(c);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, cs.status);
        EXPECT_TRUE(entries(store()).empty());
    }
    // Still taking uploads within the bound.
    const auto ok = c.Post(kPath, httplib::MultipartFormDataItems{{"f", "small", "small.log", ""}});
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->status, 200);
}

TEST_F(CrashUpload, OffWithoutACrashFolder) {
    testsupport::UpdateService service({"--quiet"});
    ASSERT_FALSE(service.base().empty());
    auto c = client(service);
    const auto res = c.Post(kPath, httplib::MultipartFormDataItems{{"f", "x", "x.log", ""}});
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 404);
}

}  // namespace
