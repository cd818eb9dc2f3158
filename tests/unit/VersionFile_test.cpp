// This program's version file: what each first line gives, and what is logged.
#include "app/VersionFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "foundation/Log.h"
#include "support/LogReader.h"
#include "support/TempHome.h"

namespace fs = std::filesystem;

namespace {

class VersionFile : public ::testing::Test {
protected:
    void SetUp() override {
        folder = home.root() / "game";
        fs::create_directories(folder);
        folderText = folder.wstring();
    }
    void TearDown() override { ReleaseLogger(); }

    // Everything logged since the last call, messages only.
    std::string newLogMessages() {
        const std::string all = testsupport::readLogs(home);
        std::string fresh = all.substr(std::min(seen, all.size()));
        seen = all.size();
        // Drop the time and process prefix of each line.
        std::string messages;
        std::size_t pos = 0;
        while (pos < fresh.size()) {
            std::size_t end = fresh.find("\r\n", pos);
            if (end == std::string::npos) end = fresh.size();
            const std::string line = fresh.substr(pos, end - pos);
            const std::size_t msg = line.find("] ");
            messages += (msg == std::string::npos ? line : line.substr(msg + 2)) + "\n";
            pos = end + 2;
        }
        return messages;
    }

    int read(char* version) { return praseVersionFile(folderText.c_str(), version); }

    testsupport::TempHome home;
    fs::path folder;
    std::wstring folderText;
    std::size_t seen = 0;
};

TEST_F(VersionFile, FirstLines) {
    struct Case {
        const char* what;
        std::string content;
        int result;
        std::string version;
        std::string log;  // messages, each ending in "\n"
    };
    const Case cases[] = {
        {"CR LF line", "{\"version\":\"1.0.0.15\"}\r\nmore\r\n", 0, "1.0.0.15", ""},
        {"LF line, other members around", "{\"a\":1,\"version\":\"2.3\",\"b\":[1,2]}\n", 0, "2.3", ""},
        {"no line end at all", "{\"version\":\"3\"}", 0, "3", ""},
        {"number value taken as text", "{\"version\":1.50}\n", 0, "1.50", ""},
        {"first of two version members", "{\"version\":\"a\",\"version\":\"b\"}\n", 0, "a", ""},
        {"empty file", "", 0, "", ""},
        {"cut at 31 bytes", "{\"version\":\"" + std::string(40, '7') + "\"}\n", 0, std::string(31, '7'), ""},
        {"cut never splits a character", "{\"version\":\"" + std::string(30, 'a') + "\xC3\xA9\"}\n", 0,
         std::string(30, 'a'), ""},
        {"empty object", "{}\n", -3, "", "[GameLauncher:226]find version failed str:{}\n"},
        {"empty version", "{\"version\":\"\"}\n", -3, "",
         "[GameLauncher:226]find version failed str:{\"version\":\"\"}\n"},
        {"other letter case", "{\"Version\":\"1\"}\n", -3, "",
         "[GameLauncher:226]find version failed str:{\"Version\":\"1\"}\n"},
        {"not JSON inside braces", "{version:1.0}\n", -3, "",
         "[GameLauncher:226]find version failed str:{version:1.0}\n"},
        {"byte-order mark", "\xEF\xBB\xBF{\"version\":\"1\"}\n", -3, "",
         "[GameLauncher:208]prase version failed str:\xEF\xBB\xBF{\"version\":\"1\"}\n"},
        {"leading blank", " {\"version\":\"1\"}\n", -3, "",
         "[GameLauncher:208]prase version failed str: {\"version\":\"1\"}\n"},
        {"trailing blank", "{\"version\":\"1\"} \n", -3, "",
         "[GameLauncher:208]prase version failed str:{\"version\":\"1\"} \n"},
        {"only the first line counts", "\n{\"version\":\"1\"}\n", -3, "",
         "[GameLauncher:208]prase version failed str:\n"},
        {"a NUL ends the line", std::string("{\"version\":\"1\"}\0x\n", 18), 0, "1", ""},
        {"array", "[\"version\"]\n", -3, "", "[GameLauncher:208]prase version failed str:[\"version\"]\n"},
    };
    for (const auto& c : cases) {
        testsupport::writeFile(folder / "gamelauncher.db", c.content);
        char version[32] = {};
        EXPECT_EQ(read(version), c.result) << c.what;
        EXPECT_EQ(std::string(version), c.version) << c.what;
        EXPECT_EQ(newLogMessages(), c.log) << c.what;
    }
}

TEST_F(VersionFile, MissingOrUnopenable) {
    char version[32] = {};
    EXPECT_EQ(read(version), -1);
    EXPECT_EQ(newLogMessages(), "[GameLauncher:188]File not exist path:" + folder.string() + "/gamelauncher.db\n");
    fs::create_directory(folder / "gamelauncher.db");
    EXPECT_EQ(read(version), -2);
    EXPECT_EQ(newLogMessages(), "[GameLauncher:194]open file failed path:" + folder.string() + "/gamelauncher.db\n");
    EXPECT_EQ(version[0], '\0');
}

TEST_F(VersionFile, OverlongFirstLineIsRefusedWithoutReadingItAll) {
    std::string content = "{\"version\":\"1\",\"pad\":\"" + std::string(3 << 20, 'p') + "\"}\n";
    testsupport::writeFile(folder / "gamelauncher.db", content);
    char version[32] = {};
    EXPECT_EQ(read(version), -3);
    EXPECT_NE(newLogMessages().find("[GameLauncher:208]prase version failed str:{\"version\":\"1\""),
              std::string::npos);
}

}  // namespace
