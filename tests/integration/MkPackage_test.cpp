// tools/mkpackage as the update workflow consumes its packages: unpacked by
// the project's own extraction, checked against the MD5 list it writes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "foundation/Md5.h"
#include "foundation/ZipReader.h"
#include "foundation/ZipUtil.h"
#include "platform/text.h"
#include "support/Process.h"
#include "support/TempHome.h"
#include "support/TestData.h"

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

std::string md5Of(const fs::path& path) {
    char out[kMd5TextCapacity] = {};
    EXPECT_EQ(getFileMd5(platform::utf8ToWide(path.string()).c_str(), out), kMd5Ok) << path;
    return out;
}

mode_t modeOf(const fs::path& path) {
    struct stat st{};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

class MkPackageTest : public ::testing::Test {
protected:
    void SetUp() override {
        src = home.root() / "launcher";
        fs::create_directories(src / "client" / "data files");
        fs::create_directories(src / "res");
        writeFile(src / "client/launcher.exe", testsupport::patternBytes(300000, 1));
        ::chmod((src / "client/launcher.exe").c_str(), 0755);
        writeFile(src / "client/data files/table one.bin", testsupport::patternBytes(70000, 2));
        writeFile(src / "res/readme.txt", "read me\n");
        ::chmod((src / "res/readme.txt").c_str(), 0444);
        writeFile(src / "res/empty.txt", "");
        // An old list in the folder is replaced, never packed or listed.
        writeFile(src / "client/launcher.db", "{\"version\":\"old\"}");
    }
    testsupport::RunResult mkpackage(const std::vector<std::string>& args) {
        return testsupport::runProgram(testsupport::builtProgram("tools/mkpackage/mkpackage"), args, home.root(), {},
                                       120);
    }
    testsupport::TempHome home;
    fs::path src;
};

}  // namespace

TEST_F(MkPackageTest, PackageUnpacksWithItsListModesAndDigest) {
    const fs::path zip = home.root() / "out" / "launcher 2.0.zip";
    fs::create_directories(zip.parent_path());
    const auto made = mkpackage({src.string(), "2.0.1.7", zip.string()});
    ASSERT_EQ(made.exitCode, 0) << made.output;
    // Standard output is the package digest alone; the empty file is only mentioned on standard error.
    EXPECT_NE(made.output.find(md5Of(zip) + "\n"), std::string::npos) << made.output;
    EXPECT_NE(made.output.find("res/empty.txt is empty"), std::string::npos);
    EXPECT_FALSE(fs::exists(zip.string() + ".part"));

    const fs::path install = home.data() / "install";
    fs::create_directories(install);
    ASSERT_EQ(getZipUtil()->UnZipFile(platform::utf8ToWide(zip.string()).c_str(),
                                      platform::utf8ToWide(install.string()).c_str()),
              kZipOk);
    for (const char* name : {"client/launcher.exe", "client/data files/table one.bin", "res/readme.txt", "res/empty.txt"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(readFile(install / name), readFile(src / name));
    }
    EXPECT_EQ(modeOf(install / "client/launcher.exe") & 0111, 0111u);
    EXPECT_EQ(modeOf(install / "res/readme.txt") & 0222, 0u);
    EXPECT_EQ(modeOf(install / "client/data files/table one.bin") & 0111, 0u);

    // Sorted, forward slashes, every non-empty file but the list itself.
    EXPECT_EQ(readFile(install / "client/launcher.db"),
              "{\"files\":[{\"client/data files/table one.bin\":\"" + md5Of(src / "client/data files/table one.bin") +
                  "\"},{\"client/launcher.exe\":\"" + md5Of(src / "client/launcher.exe") +
                  "\"},{\"res/readme.txt\":\"" + md5Of(src / "res/readme.txt") + "\"}],\"version\":\"2.0.1.7\"}");

    // The same folder gives the same package.
    const fs::path again = home.root() / "again.zip";
    ASSERT_EQ(mkpackage({src.string(), "2.0.1.7", again.string()}).exitCode, 0);
    EXPECT_EQ(md5Of(again), md5Of(zip));
}

TEST_F(MkPackageTest, RefusesWhatCannotBeALauncherPackage) {
    const fs::path noExe = home.root() / "no exe";
    fs::create_directories(noExe / "client");
    writeFile(noExe / "client/other.exe", "x");
    const fs::path longName = home.root() / "long";
    fs::create_directories(longName / "client");
    writeFile(longName / "client/launcher.exe", "x");
    writeFile(longName / "client" / std::string(253, 'n'), "x");  // "client/" + 253 > 259 bytes

    struct Case {
        const char* what;
        std::vector<std::string> args;
        int exitCode;
        const char* says;
    };
    const fs::path out = home.root() / "refused.zip";
    const Case cases[] = {
        {"no client/launcher.exe", {noExe.string(), "1.0", out.string()}, 1, "client/launcher.exe"},
        {"folder missing", {(home.root() / "nothing").string(), "1.0", out.string()}, 1, "is not a folder"},
        {"version of 32 bytes", {src.string(), std::string(32, '9'), out.string()}, 1, "version"},
        {"empty version", {src.string(), "", out.string()}, 1, "version"},
        {"quote in version", {src.string(), "1\"0", out.string()}, 1, "version"},
        {"path too long for the list", {longName.string(), "1.0", out.string()}, 1, "longer than 259"},
        {"missing output", {src.string(), "1.0"}, 2, "usage"},
        {"bad level", {src.string(), "1.0", out.string(), "--level", "0"}, 2, "usage"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto r = mkpackage(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.output;
        EXPECT_NE(r.output.find(c.says), std::string::npos) << r.output;
        EXPECT_FALSE(fs::exists(out));
        EXPECT_FALSE(fs::exists(out.string() + ".part"));
    }
}

// Modes travel without group and other write, whatever the folder has.
TEST_F(MkPackageTest, GroupAndOtherWriteAreNotPacked) {
    ::chmod((src / "client/launcher.exe").c_str(), 0777);
    ::chmod((src / "client/data files/table one.bin").c_str(), 0666);
    ::chmod((src / "res/readme.txt").c_str(), 0464);
    const fs::path zip = home.root() / "modes.zip";
    const auto made = mkpackage({src.string(), "1.0", zip.string()});
    ASSERT_EQ(made.exitCode, 0) << made.output;

    ZipReader reader;
    ASSERT_TRUE(reader.openFile(zip.wstring()));
    std::vector<ZipReader::Member> members;
    ASSERT_TRUE(reader.readDirectory(members));
    std::map<std::string, uint32_t> modes;
    for (const auto& m : members) modes[m.rawName] = (m.externalAttributes >> 16) & 07777;
    EXPECT_EQ(modes, (std::map<std::string, uint32_t>{{"client/data files/table one.bin", 0644},
                                                      {"client/launcher.db", 0644},
                                                      {"client/launcher.exe", 0755},
                                                      {"res/empty.txt", modeOf(src / "res/empty.txt") & 0755},
                                                      {"res/readme.txt", 0444}}));
}
