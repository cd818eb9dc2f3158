// Removing, listing and moving below a confined folder: what the install of
// a staged launcher package relies on. Links are never followed, a file is
// replaced in one step (even the executable of a running program), and a
// move across file systems never leaves a half-written target.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/confined_tree.h"
#include "support/DiskFaults.h"
#include "support/TempHome.h"

extern char** environ;

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

class ConfinedTreeTest : public ::testing::Test {
protected:
    void SetUp() override {
        from = home.root() / "from";
        to = home.root() / "to";
        outside = home.root() / "outside";
        fs::create_directories(from);
        fs::create_directories(to);
        fs::create_directories(outside);
        writeFile(outside / "keep.txt", "not ours");
    }
    bool open(platform::ConfinedTree& tree, const fs::path& root) { return tree.open(root.wstring()); }

    testsupport::TempHome home;
    fs::path from, to, outside;
};

TEST_F(ConfinedTreeTest, RemoveAllTakesFoldersFilesAndLinksButNeverWhatALinkNames) {
    fs::create_directories(from / "a/b/c");
    writeFile(from / "a/b/c/deep.txt", "x");
    writeFile(from / "a/locked.txt", "x");
    fs::permissions(from / "a/locked.txt", fs::perms::owner_read);
    fs::create_directory_symlink(outside, from / "a/b/to-outside");
    fs::create_symlink(outside / "keep.txt", from / "a/file-link");
    writeFile(from / "single.txt", "x");
    platform::ConfinedTree tree;
    ASSERT_TRUE(open(tree, from));

    struct Case {
        const char* relative;
        bool result;
    };
    const Case cases[] = {{"a", true}, {"single.txt", true}, {"never-there", true}, {"gone/below", true}, {"../outside", false},
                          {"", false}, {".", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.relative);
        EXPECT_EQ(tree.removeAll(fs::path(c.relative).wstring()), c.result);
    }
    EXPECT_TRUE(fs::is_empty(from));
    EXPECT_EQ(readFile(outside / "keep.txt"), "not ours");
}

TEST_F(ConfinedTreeTest, ListFilesNamesEveryNonFolderSortedWithoutFollowingLinks) {
    fs::create_directories(from / "client/data");
    fs::create_directories(from / "empty");
    writeFile(from / "client/launcher.db", "");
    writeFile(from / "client/data/z.txt", "");
    writeFile(from / "client/a.dll", "");
    fs::create_directory_symlink(outside, from / "client/link");
    platform::ConfinedTree tree;
    ASSERT_TRUE(open(tree, from));
    std::vector<std::wstring> files;
    ASSERT_TRUE(tree.listFiles(files));
    EXPECT_EQ(files, (std::vector<std::wstring>{L"client/a.dll", L"client/data/z.txt", L"client/launcher.db",
                                                L"client/link"}));
    platform::ConfinedTree closed;
    EXPECT_FALSE(closed.listFiles(files));
}

TEST_F(ConfinedTreeTest, MoveReplacesFilesAndLinksButNotFolders) {
    fs::create_directories(from / "sub");
    fs::create_directories(to / "sub");
    writeFile(from / "sub/new.txt", "new");
    writeFile(from / "sub/over.txt", "new over");
    writeFile(from / "sub/link.txt", "new link");
    writeFile(from / "sub/folder", "file");
    writeFile(to / "sub/over.txt", "old");
    fs::permissions(to / "sub/over.txt", fs::perms::owner_read);
    fs::create_symlink(outside / "keep.txt", to / "sub/link.txt");
    fs::create_directories(to / "sub/folder/inside");
    platform::ConfinedTree src, dst;
    ASSERT_TRUE(open(src, from));
    ASSERT_TRUE(open(dst, to));

    for (const char* name : {"sub/new.txt", "sub/over.txt", "sub/link.txt"}) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(src.moveTo(fs::path(name).wstring(), dst));
        EXPECT_FALSE(fs::exists(from / name));
    }
    EXPECT_EQ(readFile(to / "sub/new.txt"), "new");
    EXPECT_EQ(readFile(to / "sub/over.txt"), "new over");
    EXPECT_FALSE(fs::is_symlink(to / "sub/link.txt"));
    EXPECT_EQ(readFile(to / "sub/link.txt"), "new link");
    EXPECT_EQ(readFile(outside / "keep.txt"), "not ours");

    errno = 0;
    EXPECT_FALSE(src.moveTo(L"sub/folder", dst));
    EXPECT_TRUE(errno == EISDIR || errno == ENOTEMPTY) << errno;
    EXPECT_TRUE(fs::is_directory(to / "sub/folder/inside"));
    EXPECT_FALSE(src.moveTo(L"sub/missing.txt", dst));
    EXPECT_FALSE(src.moveTo(L"sub/new.txt", dst)) << "moved already";
}

// The executable of a running program cannot be written (ETXTBSY), which is
// how writing a package over a launcher still ending used to fail; a
// rename replaces it.
TEST_F(ConfinedTreeTest, MoveReplacesTheExecutableOfARunningProgram) {
    fs::copy_file("/bin/sleep", to / "prog");
    writeFile(from / "prog", "the new program");
    const std::string exe = (to / "prog").string();
    char arg0[] = "prog";
    char arg1[] = "30";
    char* argv[] = {arg0, arg1, nullptr};
    pid_t pid = -1;
    ASSERT_EQ(::posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv, environ), 0);
    // posix_spawn returns once the child has executed the program.

    platform::ConfinedTree src, dst;
    ASSERT_TRUE(open(src, from));
    ASSERT_TRUE(open(dst, to));
    platform::TreeFile inPlace;
    EXPECT_FALSE(dst.createFile(L"prog", inPlace));
    EXPECT_EQ(errno, ETXTBSY);
    EXPECT_TRUE(src.moveTo(L"prog", dst));
    EXPECT_EQ(readFile(to / "prog"), "the new program");
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
}

// Across file systems (a tmpfs mounted over the target folder) the file is
// copied beside its target and renamed over it, with its mode and time.
TEST_F(ConfinedTreeTest, MoveAcrossFileSystemsCopiesThenRenames) {
    auto mounted = testsupport::FolderMount::tmpfs(to, 1 << 20);
    if (!mounted.available()) GTEST_SKIP() << mounted.why();
    writeFile(from / "big.bin", std::string(200000, 'b'));
    fs::permissions(from / "big.bin", fs::perms::owner_read | fs::perms::owner_exec);
    fs::last_write_time(from / "big.bin", fs::file_time_type::clock::now() - std::chrono::hours(48));
    const auto when = fs::last_write_time(from / "big.bin");
    writeFile(from / "huge.bin", std::string(2 << 20, 'h'));
    writeFile(to / "huge.bin", "old");
    platform::ConfinedTree src, dst;
    ASSERT_TRUE(open(src, from));
    ASSERT_TRUE(open(dst, to));

    EXPECT_TRUE(src.moveTo(L"big.bin", dst));
    EXPECT_FALSE(fs::exists(from / "big.bin"));
    EXPECT_EQ(readFile(to / "big.bin"), std::string(200000, 'b'));
    EXPECT_EQ(fs::status(to / "big.bin").permissions(), fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_EQ(fs::last_write_time(to / "big.bin"), when);

    // The target file system is full: the old file stays whole, the
    // source stays, and no copy is left behind.
    errno = 0;
    EXPECT_FALSE(src.moveTo(L"huge.bin", dst));
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(readFile(to / "huge.bin"), "old");
    EXPECT_TRUE(fs::exists(from / "huge.bin"));
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(to)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"big.bin", "huge.bin"}));
}

}  // namespace
