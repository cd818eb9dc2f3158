// What `cmake --install` and the CPack archive lay out for a game folder:
// exactly the program, its crash sender, launcher.ini and gamelauncher.db,
// binaries that name no build folder, and a tree the program runs from as it
// stands (it reads its version file there and finds its crash sender).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/ini.h"
#include "platform/text.h"
#include "support/GameFolder.h"
#include "support/SampleLauncher.h"
#include "support/UpdateService.h"

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

// Path, kind and permission bits of every entry below `root`, sorted.
std::vector<std::string> listTree(const fs::path& root) {
    std::vector<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        struct stat st {};
        if (lstat(e.path().c_str(), &st) != 0) {
            out.push_back(fs::relative(e.path(), root).string() + " unreadable");
            continue;
        }
        const char* kind = S_ISREG(st.st_mode) ? "file" : S_ISDIR(st.st_mode) ? "dir" : S_ISLNK(st.st_mode) ? "link" : "other";
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        out.push_back(fs::relative(e.path(), root).string() + " " + kind + " " + mode);
    }
    std::sort(out.begin(), out.end());
    return out;
}

const std::vector<std::string> kTree{
    "crashsender file 0755",
    "gamelauncher file 0755",
    "gamelauncher.db file 0644",
    "launcher.ini file 0644",
};

std::vector<std::string> words(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

// The RPATH and RUNPATH entries of an ELF file, as readelf prints them.
std::vector<std::string> searchPaths(const fs::path& elf, std::string& output) {
    const auto r = testsupport::runProgram("/usr/bin/readelf", {"-d", "-W", elf.string()}, elf.parent_path());
    output = r.output;
    std::vector<std::string> out;
    std::istringstream in(r.output);
    for (std::string line; std::getline(in, line);) {
        if (line.find("(RPATH)") == std::string::npos && line.find("(RUNPATH)") == std::string::npos) continue;
        const std::size_t open = line.find('[');
        const std::size_t close = line.rfind(']');
        if (open != std::string::npos && close > open) out.push_back(line.substr(open + 1, close - open - 1));
    }
    return out;
}

class GameFolderInstall : public ::testing::Test {
protected:
    // Installs this build tree into `prefix` the way a game does.
    void install() {
        const auto r = testsupport::runProgram(GL_CMAKE_COMMAND, {"--install", GL_TEST_BINARY_DIR, "--prefix", prefix.string()},
                                               home.root(), {}, 120);
        ASSERT_EQ(r.exitCode, 0) << r.output;
    }
    testsupport::TempHome home;
    fs::path prefix = home.root() / "My Game";
};

TEST_F(GameFolderInstall, LaysOutExactlyWhatAGameShips) {
    install();
    EXPECT_EQ(listTree(prefix), kTree);

    // The program reports this build's version in its start event.
    EXPECT_EQ(readFile(prefix / "gamelauncher.db"), std::string("{\"version\":\"") + GL_PROJECT_VERSION + "\"}\n");

    // launcher.ini, read the way the program reads it: the configured base
    // URLs in slots 0.., the rest empty.
    const std::vector<std::string> urls = words(GL_UPDATE_SERVICE_URLS);
    ASSERT_FALSE(urls.empty());
    const std::wstring ini = platform::utf8ToWide((prefix / "launcher.ini").string());
    for (int slot = 0; slot < 4; ++slot) {
        wchar_t value[1024] = {};
        const std::wstring key = L"SERVER_UPGRADE_" + std::to_wstring(slot);
        platform::getPrivateProfileString(L"UPGRADE", key.c_str(), L"", value, 1024, ini.c_str());
        const std::string expected = static_cast<std::size_t>(slot) < urls.size() ? urls[static_cast<std::size_t>(slot)] : "";
        EXPECT_EQ(platform::wideToUtf8(value), expected) << "slot " << slot;
    }

    // Nothing that only resolves inside this build: no search path at all
    // but the program's own folder.
    for (const char* program : {"gamelauncher", "crashsender"}) {
        std::string dump;
        for (const std::string& paths : searchPaths(prefix / program, dump)) {
            std::istringstream in(paths);
            for (std::string entry; std::getline(in, entry, ':');) {
                EXPECT_EQ(entry.rfind("$ORIGIN", 0), 0u) << program << " searches " << entry << "\n" << dump;
            }
        }
        EXPECT_NE(dump.find("(NEEDED)"), std::string::npos) << "readelf read no dynamic section:\n" << dump;
    }
}

TEST_F(GameFolderInstall, ArchiveHoldsTheSameTreeWithoutATopFolder) {
    const fs::path out = home.root() / "cpack";
    const auto made = testsupport::runProgram(
        GL_CPACK_COMMAND,
        {"-G", "TGZ", "--config", std::string(GL_TEST_BINARY_DIR) + "/CPackConfig.cmake", "-B", out.string()},
        home.root(), {}, 120);
    ASSERT_EQ(made.exitCode, 0) << made.output;
    const fs::path archive = out / (std::string("gamelauncher-") + GL_PROJECT_VERSION + "-Linux-x86_64.tar.gz");
    ASSERT_TRUE(fs::is_regular_file(archive)) << made.output;

    fs::create_directories(prefix);
    const auto unpacked = testsupport::runProgram("/usr/bin/tar", {"-xzf", archive.string(), "-C", prefix.string()}, home.root());
    ASSERT_EQ(unpacked.exitCode, 0) << unpacked.output;
    EXPECT_EQ(listTree(prefix), kTree);
}

TEST_F(GameFolderInstall, InstalledProgramUpdatesAndStartsTheLauncher) {
    install();
    const fs::path client = home.data() / "Keltora/morvel3/client";
    const std::string md5 =
        testsupport::makeLauncherPackage(home.root() / "stage", "2.0.0.0", home.root() / "files/client.zip");
    ASSERT_EQ(md5.size(), 32u);
    const fs::path events = home.root() / "events.jsonl";
    testsupport::UpdateService service({"--quiet", "--version", "2.0.0.0", "--files", (home.root() / "files").string(),
                                        "--package", "client.zip", "--events", events.string()});
    ASSERT_FALSE(service.base().empty());
    // The installed file names the maker's service; here the local one.
    writeFile(prefix / "launcher.ini", "[UPGRADE]\nSERVER_UPGRADE_0=" + service.base() + "\n");

    const auto run = testsupport::runProgram(prefix / "gamelauncher", {}, prefix, {{"QT_QPA_PLATFORM", "offscreen"}});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    ASSERT_TRUE(testsupport::waitLauncherMarker(true));
    const auto starts = testsupport::launcherStarts(client);
    EXPECT_EQ(testsupport::stopLaunchers(client), "");
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].args, std::vector<std::string>{"-gamepath=" + prefix.string()});

    const std::string recorded = readFile(events);
    EXPECT_NE(recorded.find(std::string("\"event\":\"GLHR_STR\",\"sid\":\"0\",\"ver\":\"") + GL_PROJECT_VERSION + "\""),
              std::string::npos)
        << recorded;
    EXPECT_NE(recorded.find("\"event\":\"LHR_UPD\",\"sid\":\"0\",\"ver\":\"2.0.0.0\""), std::string::npos) << recorded;
    const std::string log = testsupport::readLogs(home);
    EXPECT_NE(log.find("[CrashReport:23] installCrashReport"), std::string::npos) << log;
    EXPECT_EQ(log.find("startMainCRpt failed"), std::string::npos) << "the crash sender beside it is found\n" << log;
}

}  // namespace
