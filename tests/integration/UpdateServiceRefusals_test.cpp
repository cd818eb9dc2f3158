// The update service refuses at start the options that would make every
// player's update fail (a package it cannot serve, a package announced
// without a usable MD5) and a port another program already listens on,
// each with a message that says what to give instead and a non-zero exit;
// what it accepts still starts, on a port a stopped service just left too.
#include <gtest/gtest.h>
#include <httplib.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/Process.h"
#include "support/TempHome.h"
#include "support/UpdateService.h"

namespace fs = std::filesystem;
using testsupport::UpdateService;

namespace {

const std::string kMd5 = "0123456789abcdef0123456789abcdef";

class UpdateServiceRefusals : public ::testing::Test {
protected:
    UpdateServiceRefusals() {
        fs::create_directories(files);
        testsupport::writeFile(files / "client.zip", "a package");
        testsupport::writeFile(home.root() / "outside.zip", "not served");
        fs::create_directories(files / "folder.zip");
    }

    testsupport::RunResult run(std::vector<std::string> args) {
        args.insert(args.begin(), {"--quiet", "--events", (home.root() / "events.jsonl").string()});
        return testsupport::runProgram(testsupport::builtProgram("tools/update-service/update-service"), args,
                                       home.root(), {}, 30);
    }

    static int portOf(const UpdateService& service) {
        const std::string hp = service.hostAndPort();
        return std::atoi(hp.substr(hp.find(':') + 1).c_str());
    }

    testsupport::TempHome home;
    const fs::path files = home.root() / "files";
};

TEST_F(UpdateServiceRefusals, EachMistakeIsRefusedAtStartWithWhatIsMissing) {
    struct Case {
        const char* what;
        std::vector<std::string> args;
        std::string message;
    };
    const std::string dir = files.string();
    const std::vector<Case> cases = {
        {"package not in the folder",
         {"--files", dir, "--package", "missing.zip"},
         "update-service: --package missing.zip is not a file in --files " + dir + ": copy the package there first\n"},
        {"package is a folder",
         {"--files", dir, "--package", "folder.zip"},
         "update-service: --package folder.zip is not a file in --files " + dir + ": copy the package there first\n"},
        {"package named outside the folder",
         {"--files", dir, "--package", "../outside.zip"},
         "update-service: --package ../outside.zip is not a file in --files " + dir +
             ": copy the package there first\n"},
        {"package without a folder",
         {"--package", "client.zip"},
         "update-service: --package needs --files (the folder that holds the package)\n"},
        {"package URL without an MD5",
         {"--package-url", "https://update.example.com/files/client.zip"},
         "update-service: --package-url needs --md5 (the package's MD5, as printed by mkpackage)\n"},
        {"MD5 one digit short",
         {"--files", dir, "--package", "client.zip", "--md5", kMd5.substr(1)},
         "update-service: --md5 " + kMd5.substr(1) + " is not an MD5: it needs 32 hex digits (as printed by mkpackage)\n"},
        {"MD5 with a letter that is no hex digit",
         {"--package-url", "https://update.example.com/files/client.zip", "--md5", "g" + kMd5.substr(1)},
         "update-service: --md5 g" + kMd5.substr(1) + " is not an MD5: it needs 32 hex digits (as printed by mkpackage)\n"},
        {"empty MD5 (an unchecked command substitution)",
         {"--package-url", "https://update.example.com/files/client.zip", "--md5", ""},
         "update-service: --package-url needs --md5 (the package's MD5, as printed by mkpackage)\n"},
        {"port that is no number", {"--port", "80a"}, "update-service: --port needs a number from 0 to 65535\n"},
        {"port out of range", {"--port", "65536"}, "update-service: --port needs a number from 0 to 65535\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto result = run(c.args);
        EXPECT_EQ(result.exitCode, 2);
        // The message alone: no URL printed, nothing else said.
        EXPECT_EQ(result.output, c.message);
    }
    EXPECT_FALSE(fs::exists(home.root() / "events.jsonl"));
}

TEST_F(UpdateServiceRefusals, WhatIsRightStillStarts) {
    struct Case {
        const char* what;
        std::vector<std::string> args;
    };
    const std::vector<Case> cases = {
        {"package in the folder", {"--files", files.string(), "--package", "client.zip"}},
        {"package URL with an MD5 in capitals",
         {"--package-url", "https://update.example.com/files/client.zip", "--md5",
          "0123456789ABCDEF0123456789ABCDEF"}},
        {"package with an MD5 of its own", {"--files", files.string(), "--package", "client.zip", "--md5", kMd5}},
        {"no package at all", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> args = {"--quiet"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        UpdateService service(args);
        ASSERT_FALSE(service.base().empty());
        httplib::Client cl("http://" + service.hostAndPort());
        const auto res = cl.Post("/launcher/check", "rnd=r1&app=launcher&ver=0&cid=0&unid=0&qkey=",
                                 "application/x-www-form-urlencoded");
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 200);
        EXPECT_NE(res->body.find("\"rnd\":\"r1\""), std::string::npos) << res->body;
    }
}

// Two services on one port would share the players' checks, each answering
// its own version; the second is refused and the first goes on answering.
// Once the first has stopped, its port (with connections it closed still
// lingering) is free for the next one.
TEST_F(UpdateServiceRefusals, APortInUseIsRefusedAndAPortLeftIsTaken) {
    auto first = std::make_unique<UpdateService>(std::vector<std::string>{"--quiet", "--version", "1.0.0.1"});
    ASSERT_FALSE(first->base().empty());
    const int port = portOf(*first);

    const auto second = run({"--port", std::to_string(port), "--version", "1.0.0.2"});
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_EQ(second.output, "update-service: port " + std::to_string(port) +
                                 " on 127.0.0.1 is in use by another program: stop it first or choose another --port\n");

    // Each check on a connection of its own: a second listener would take
    // some of them.
    for (int i = 0; i < 4; ++i) {
        httplib::Client cl("http://" + first->hostAndPort());
        const auto res = cl.Post("/launcher/check", "rnd=r&app=launcher&ver=0&cid=0&unid=0&qkey=",
                                 "application/x-www-form-urlencoded");
        ASSERT_TRUE(res);
        EXPECT_NE(res->body.find("\"ver\":\"1.0.0.1\""), std::string::npos) << res->body;
    }
    first.reset();

    UpdateService next({"--quiet", "--port", std::to_string(port), "--version", "1.0.0.3"});
    EXPECT_EQ(next.base(), "http://127.0.0.1:" + std::to_string(port) + "/");
}

}  // namespace
