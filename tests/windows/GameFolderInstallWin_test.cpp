// What `cmake --install` and `cpack -G ZIP` of the Windows build lay out for
// a game folder: exactly the program (once it is built for Windows), its
// crash sender, launcher.ini and gamelauncher.db, flat; the ZIP holds the
// same tree without a top folder and unpacks with the program's own ZIP
// reader. The installing and packing run on Linux (cmake, cpack), started
// from Wine by their Z: paths.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "foundation/ZipUtil.h"
#include "platform/text.h"
#include "support/LinuxPrograms.h"
#include "support/Process.h"
#include "support/TempHome.h"

namespace fs = std::filesystem;
using testsupport::readFile;

namespace {

std::vector<std::string> listTree(const fs::path& root) {
    std::vector<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(root))
        out.push_back(fs::relative(e.path(), root).generic_string() + (e.is_directory() ? " dir" : " file"));
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::string> expectedTree() {
    return {"crashsender.exe file", "gamelauncher.db file", "gamelauncher.exe file", "launcher.ini file"};
}

class GameFolderInstall : public ::testing::Test {
protected:
    testsupport::TempHome home;
    fs::path prefix = home.root() / "My Game";
};

TEST_F(GameFolderInstall, LaysOutExactlyWhatAGameShips) {
    const auto r = testsupport::runProgram(
        GL_WINE_CMAKE, {"--install", testsupport::linuxPath(GL_TEST_BINARY_DIR), "--prefix", testsupport::linuxPath(prefix)},
        home.root(), {}, 120);
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(listTree(prefix), expectedTree());
    EXPECT_EQ(readFile(prefix / "gamelauncher.db"), std::string("{\"version\":\"") + GL_PROJECT_VERSION + "\"}\n");
    EXPECT_NE(readFile(prefix / "launcher.ini").find("SERVER_UPGRADE_0="), std::string::npos);
    // The installed sender is the built one.
    EXPECT_EQ(readFile(prefix / "crashsender.exe"), readFile(GL_CRASHSENDER));
}

TEST_F(GameFolderInstall, TheZipHoldsTheSameTreeWithoutATopFolder) {
    const fs::path out = home.root() / "cpack";
    const auto made = testsupport::runProgram(
        GL_WINE_CPACK,
        {"-G", "ZIP", "--config", testsupport::linuxPath(fs::path(GL_TEST_BINARY_DIR) / "CPackConfig.cmake"), "-B",
         testsupport::linuxPath(out)},
        home.root(), {}, 180);
    ASSERT_EQ(made.exitCode, 0) << made.output;
    const fs::path zip = out / (std::string("gamelauncher-") + GL_PROJECT_VERSION + "-Windows-x86_64.zip");
    ASSERT_TRUE(fs::is_regular_file(zip)) << made.output;
    fs::create_directories(prefix);
    const std::wstring target = platform::utf8ToWide(prefix.string() + "\\");
    EXPECT_EQ(getZipUtil()->UnZipFile(platform::utf8ToWide(zip.string()).c_str(), target.c_str()), kZipOk);
    EXPECT_EQ(listTree(prefix), expectedTree());
    EXPECT_EQ(readFile(prefix / "crashsender.exe"), readFile(GL_CRASHSENDER));
}

}  // namespace
