// Removing, listing and moving below a confined folder: what the install of
// a staged launcher package relies on. Links are never followed, a file is
// replaced in one step (even the executable of a running program), and a
// move across file systems never leaves a half-written target.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/confined_tree.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/local_pipe.h"
#include "platform/marker.h"
#include "support/DiskFaults.h"
#include "support/Fifo.h"
#include "support/Links.h"
#include "support/TempHome.h"

#ifndef _WIN32
extern char** environ;
#endif

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

using testsupport::LinkKind;

// The error a failure left: errno on Linux, the system's last error on
// Windows.
#ifdef _WIN32
#define EXPECT_LAST_ERROR(posix, windows) EXPECT_EQ(platform::lastError(), static_cast<uint32_t>(windows))
#else
#define EXPECT_LAST_ERROR(posix, windows) EXPECT_EQ(errno, posix)
#endif

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
    ASSERT_EQ(testsupport::plantLink(outside / "keep.txt", from / "a/file-link", LinkKind::File), "");
    // Wine follows its links to folders when asked to open the link itself,
    // and its removal by name takes the target: it cannot remove such a link
    // without harm, so it is refused and stays (checked below).
    const bool folderLinksStay = testsupport::runningUnderWine();
    if (!folderLinksStay) {
        ASSERT_EQ(testsupport::plantLink(outside, from / "a/b/to-outside", LinkKind::Folder), "");
    }
    // Windows' own folder link.
    const std::string noJunction = testsupport::plantLink(outside, from / "a/junction", LinkKind::Junction);
    if (!noJunction.empty()) std::fprintf(stderr, "junction left out: %s\n", noJunction.c_str());
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

    if (folderLinksStay) {
        fs::create_directories(from / "b");
        ASSERT_EQ(testsupport::plantLink(outside, from / "b/to-outside", LinkKind::Folder), "");
        EXPECT_FALSE(tree.removeAll(L"b"));
        EXPECT_TRUE(testsupport::isLink(from / "b/to-outside"));
        EXPECT_EQ(readFile(outside / "keep.txt"), "not ours");
    }
}

// The single-file calls the log retention and the package clean-up use:
// a link named like one of our files is listed as no file, keeps its
// target's attributes alone, and goes itself when deleted, never its target.
TEST_F(ConfinedTreeTest, FileCallsActOnALinkItselfNeverOnItsTarget) {
    writeFile(from / "real.log", "ours");
    ASSERT_EQ(testsupport::plantLink(outside / "keep.txt", from / "file-link.log", LinkKind::File), "");
    ASSERT_EQ(testsupport::plantLink(outside, from / "folder-link.log", LinkKind::Folder), "");
    const auto wideFrom = [&](const char* name) { return (from / name).wstring(); };

    std::vector<platform::DirEntry> entries;
    ASSERT_TRUE(platform::listDirectory(from.wstring(), L".LOG", entries));
    std::sort(entries.begin(), entries.end(),
              [](const platform::DirEntry& a, const platform::DirEntry& b) { return a.name < b.name; });
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].name, L"file-link.log");
    EXPECT_FALSE(entries[0].isRegularFile);
    EXPECT_FALSE(entries[0].isDirectory);
    EXPECT_EQ(entries[1].name, L"folder-link.log");
    EXPECT_FALSE(entries[1].isRegularFile);
    EXPECT_FALSE(entries[1].isDirectory);
    EXPECT_EQ(entries[2].name, L"real.log");
    EXPECT_TRUE(entries[2].isRegularFile);

    EXPECT_FALSE(platform::setFileReadOnly(wideFrom("file-link.log")));
    EXPECT_TRUE((fs::status(outside / "keep.txt").permissions() & fs::perms::owner_write) != fs::perms::none);
    fs::permissions(outside / "keep.txt", fs::perms::owner_read);
    EXPECT_FALSE(platform::setFileAttributesNormal(wideFrom("file-link.log")));
    EXPECT_TRUE((fs::status(outside / "keep.txt").permissions() & fs::perms::owner_write) == fs::perms::none);
    fs::permissions(outside / "keep.txt", fs::perms::owner_all);

    EXPECT_TRUE(platform::deleteFile(wideFrom("file-link.log")));
    EXPECT_FALSE(testsupport::isLink(from / "file-link.log"));
    EXPECT_FALSE(fs::exists(from / "file-link.log"));
    if (testsupport::runningUnderWine()) {
        // Wine follows its links to folders when asked to open the link
        // itself, and its removal by name takes the target: refused.
        EXPECT_FALSE(platform::deleteFile(wideFrom("folder-link.log")));
        EXPECT_TRUE(testsupport::isLink(from / "folder-link.log"));
    } else {
        EXPECT_TRUE(platform::deleteFile(wideFrom("folder-link.log")));
        EXPECT_FALSE(testsupport::isLink(from / "folder-link.log"));
    }
    EXPECT_EQ(readFile(outside / "keep.txt"), "not ours");
    EXPECT_TRUE(platform::deleteFile(wideFrom("real.log")));
    EXPECT_FALSE(fs::exists(from / "real.log"));
}

TEST_F(ConfinedTreeTest, ListFilesNamesEveryNonFolderSortedWithoutFollowingLinks) {
    fs::create_directories(from / "client/data");
    fs::create_directories(from / "empty");
    writeFile(from / "client/launcher.db", "");
    writeFile(from / "client/data/z.txt", "");
    writeFile(from / "client/a.dll", "");
    ASSERT_EQ(testsupport::plantLink(outside, from / "client/link", LinkKind::Folder), "");
    std::vector<std::wstring> expected = {L"client/a.dll", L"client/data/z.txt", L"client/launcher.db", L"client/link"};
    const std::string noJunction = testsupport::plantLink(outside, from / "client/junction", LinkKind::Junction);
    if (noJunction.empty()) {
        expected.insert(expected.begin() + 2, L"client/junction");
    } else {
        std::fprintf(stderr, "junction left out: %s\n", noJunction.c_str());
    }
    platform::ConfinedTree tree;
    ASSERT_TRUE(open(tree, from));
    std::vector<std::wstring> files;
    ASSERT_TRUE(tree.listFiles(files));
    EXPECT_EQ(files, expected);
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
    ASSERT_EQ(testsupport::plantLink(outside / "keep.txt", to / "sub/link.txt", LinkKind::File), "");
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
    EXPECT_FALSE(testsupport::isLink(to / "sub/link.txt"));
    EXPECT_EQ(readFile(to / "sub/link.txt"), "new link");
    EXPECT_EQ(readFile(outside / "keep.txt"), "not ours");

    errno = 0;
    EXPECT_FALSE(src.moveTo(L"sub/folder", dst));
#ifdef _WIN32
    EXPECT_EQ(platform::lastError(), static_cast<uint32_t>(ERROR_ACCESS_DENIED));
#else
    EXPECT_TRUE(errno == EISDIR || errno == ENOTEMPTY) << errno;
#endif
    EXPECT_TRUE(fs::is_directory(to / "sub/folder/inside"));
    EXPECT_FALSE(src.moveTo(L"sub/missing.txt", dst));
    EXPECT_FALSE(src.moveTo(L"sub/new.txt", dst)) << "moved already";
}

#ifndef _WIN32
// The executable of a running program cannot be written (ETXTBSY), which is
// how writing a package over a launcher still ending used to fail; a
// rename replaces it. Linux only: ETXTBSY and a rename over a running
// program's file are POSIX rules; Windows lets neither write nor replace a
// running image.
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
// Linux only: mounting a small file system needs mount(2).
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
#endif

// Every platform object that holds a system handle gives it back, on the
// paths that succeed and on those that fail after the system had already
// opened something: the process has as many descriptors open after each
// case as before it.
#ifdef _WIN32
// The system's table of open handles, this process's entries counted
// (GetProcessHandleCount answers 0 under Wine).
std::size_t openDescriptors() {
    struct Entry {
        ULONG ownerPid;
        BYTE objectType;
        BYTE flags;
        USHORT value;
        PVOID object;
        ULONG access;
    };
    struct Table {
        ULONG count;
        Entry entries[1];
    };
    using Query = LONG(NTAPI*)(ULONG, PVOID, ULONG, PULONG);
    const FARPROC found = ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation");
    const auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(found));
    constexpr ULONG kSystemHandleInformation = 16;
    std::vector<unsigned char> buffer(1 << 20);
    for (;;) {
        ULONG needed = 0;
        const LONG status = query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status >= 0) break;
        if (buffer.size() >= (64u << 20)) {
            ADD_FAILURE() << "the handle table cannot be read: " << std::hex << status;
            return 0;
        }
        buffer.resize(buffer.size() * 2);
    }
    const auto* table = reinterpret_cast<const Table*>(buffer.data());
    std::size_t n = 0;
    for (ULONG i = 0; i < table->count; ++i) n += table->entries[i].ownerPid == ::GetCurrentProcessId() ? 1 : 0;
    return n;
}
#else
std::size_t openDescriptors() {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator("/proc/self/fd")) ++n;
    return n;
}
#endif

TEST_F(ConfinedTreeTest, NoHandleOutlivesItsOwnerOnAnyPath) {
    // Made before the count starts: on Windows the first file calls and the
    // first named object leave handles of the system's own open for good
    // (the C library's, the session's named-object folder).
    writeFile(from / "file.txt", "content");
    writeFile(from / "read-only.txt", "x");
    fs::permissions(from / "read-only.txt", fs::perms::owner_read);
    fs::create_directories(from / "folder/inner");
    writeFile(from / "folder/inner/leaf.txt", "x");
#ifndef _WIN32
    testsupport::makeFifo(from / "fifo");
#endif
#ifdef _WIN32
    platform::probeMarker("GL_HANDLE_WARM_UP");
#endif
    const std::size_t idle = openDescriptors();
    {
        // The count sees a descriptor that is left open.
#ifdef _WIN32
        const HANDLE h = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(openDescriptors(), idle + 1);
        ::CloseHandle(h);
#else
        const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(openDescriptors(), idle + 1);
        ::close(fd);
#endif
    }
    const auto wideFrom = [&](const char* name) { return (from / name).wstring(); };
    using Access = platform::File::Access;
    using Disposition = platform::File::Disposition;

    struct Case {
        const char* name;
        std::function<void()> run;
    };
    const Case cases[] = {
        {"file opened, moved over another and closed by its owner",
         [&] {
             platform::File a, b;
             ASSERT_TRUE(a.open(wideFrom("file.txt"), Access::Read, Disposition::OpenExisting));
             ASSERT_TRUE(b.open(wideFrom("new.txt"), Access::Write, Disposition::CreateAlways));
             b = std::move(a);
             platform::File c(std::move(b));
             EXPECT_FALSE(a.isOpen());
             EXPECT_FALSE(b.isOpen());
             EXPECT_TRUE(c.isOpen());
             ASSERT_TRUE(c.open(wideFrom("new.txt"), Access::ReadWrite, Disposition::OpenAlways));
         }},
        {"file missing",
         [&] {
             platform::File f;
             EXPECT_FALSE(f.open(wideFrom("missing.txt"), Access::Read, Disposition::OpenExisting));
             EXPECT_LAST_ERROR(ENOENT, ERROR_FILE_NOT_FOUND);
         }},
        {"file is a folder, refused once opened",
         [&] {
             platform::File f;
             EXPECT_FALSE(f.open(wideFrom("folder"), Access::Read, Disposition::OpenExisting));
             EXPECT_LAST_ERROR(EISDIR, ERROR_ACCESS_DENIED);
         }},
#ifdef _WIN32
        // Windows has no FIFO at a file's path: its form is a named pipe.
        {"file is a named pipe, refused once opened",
         [&] {
             const std::wstring name = L"\\\\.\\pipe\\gl-handles-" + std::to_wstring(::GetCurrentProcessId());
             const HANDLE server =
                 ::CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 512, 512, 0, nullptr);
             ASSERT_NE(server, INVALID_HANDLE_VALUE);
             platform::File f;
             EXPECT_FALSE(f.open(name, Access::Read, Disposition::OpenExisting));
             EXPECT_LAST_ERROR(EACCES, ERROR_ACCESS_DENIED);
             ::CloseHandle(server);
         }},
#else
        {"file is a FIFO, refused once opened",
         [&] {
             platform::File f;
             EXPECT_FALSE(f.open(wideFrom("fifo"), Access::Read, Disposition::OpenExisting));
             EXPECT_EQ(errno, EACCES);
         }},
#endif
        {"file read-only, refused for writing",
         [&] {
             platform::File f;
             EXPECT_FALSE(f.open(wideFrom("read-only.txt"), Access::Write, Disposition::OpenExisting));
             EXPECT_LAST_ERROR(EACCES, ERROR_ACCESS_DENIED);
         }},
        {"tree walked, written, listed, moved and emptied",
         [&] {
             platform::ConfinedTree src, dst;
             ASSERT_TRUE(open(src, from));
             ASSERT_TRUE(open(dst, to));
             ASSERT_TRUE(src.createFolders(L"a/b/c"));
             platform::TreeFile file;
             ASSERT_TRUE(src.createFile(L"a/b/c/f.txt", file));
             EXPECT_TRUE(file.write("abc", 3));
             EXPECT_TRUE(file.cutHere());
             EXPECT_TRUE(file.setMode(0644));
             // Another file in another folder while the first is still open.
             platform::TreeFile other;
             ASSERT_TRUE(src.createFile(L"a/g.txt", other));
             EXPECT_EQ(src.kind(L"a/b/c/f.txt"), platform::ConfinedTree::Kind::File);
             std::vector<std::wstring> names;
             EXPECT_TRUE(src.listFiles(names));
             ASSERT_TRUE(dst.createFolders(L"a/b/c"));
             EXPECT_TRUE(src.moveTo(L"a/b/c/f.txt", dst));
#ifdef _WIN32
             // Wine takes a name away only when the last handle to it
             // closes (no POSIX deletion), and a folder holding such a name
             // cannot go before that.
             file.close();
             other.close();
#endif
             EXPECT_TRUE(src.removeAll(L"a"));
             EXPECT_TRUE(dst.removeAll(L"a"));
         }},
        {"tree root is no folder",
         [&] {
             platform::ConfinedTree tree;
             EXPECT_FALSE(open(tree, from / "file.txt"));
         }},
        {"tree level on the way is missing or a file",
         [&] {
             platform::ConfinedTree tree;
             ASSERT_TRUE(open(tree, from));
             EXPECT_EQ(tree.kind(L"folder/inner/missing/x"), platform::ConfinedTree::Kind::Missing);
             EXPECT_FALSE(tree.createFolders(L"folder/inner/leaf.txt/x"));
             EXPECT_FALSE(tree.createFolders(L"file.txt/x"));
             platform::TreeFile file;
             EXPECT_FALSE(tree.createFile(L"folder/inner/missing/x", file));
         }},
        {"tree file where a folder or a FIFO is",
         [&] {
             platform::ConfinedTree tree;
             ASSERT_TRUE(open(tree, from));
             platform::TreeFile file;
             EXPECT_FALSE(tree.createFile(L"folder", file));
             EXPECT_LAST_ERROR(EISDIR, ERROR_ACCESS_DENIED);
#ifndef _WIN32
             // With a reader the FIFO opens, and is refused once open.
             const int reader = ::open((from / "fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
             ASSERT_GE(reader, 0);
             EXPECT_FALSE(tree.createFile(L"fifo", file));
             EXPECT_EQ(errno, EINVAL);
             ::close(reader);
#endif
         }},
        {"marker taken, refused to a second holder, probed, released",
         [&] {
             platform::Marker first, second;
             ASSERT_EQ(first.acquire("GL_HANDLE_TEST"), platform::Marker::Result::Acquired);
             EXPECT_EQ(second.acquire("GL_HANDLE_TEST"), platform::Marker::Result::AlreadyHeld);
             EXPECT_EQ(platform::probeMarker("GL_HANDLE_TEST"), platform::MarkerState::Held);
             first.release();
             EXPECT_EQ(platform::probeMarker("GL_HANDLE_TEST"), platform::MarkerState::Free);
             // Destroyed while held.
             ASSERT_EQ(second.acquire("GL_HANDLE_TEST"), platform::Marker::Result::Acquired);
         }},
        {"marker with an unusable name",
         [&] {
             platform::Marker marker;
             EXPECT_EQ(marker.acquire(""), platform::Marker::Result::Failed);
             EXPECT_EQ(platform::probeMarker(""), platform::MarkerState::Failed);
         }},
        {"pipe served, written, read, and a second server refused",
         [&] {
             platform::PipeServer server;
             ASSERT_TRUE(server.listen("MV3_GAMELAUNCHER"));
             platform::PipeClient client;
             ASSERT_EQ(client.open("MV3_GAMELAUNCHER", 300), platform::PipeClient::OpenResult::Opened);
             EXPECT_TRUE(client.write("ping", 4));
             ASSERT_EQ(server.accept(5000), platform::PipeServer::Result::Ok);
             char buffer[4];
             EXPECT_EQ(server.read(buffer, sizeof buffer, 5000), platform::PipeServer::Result::Ok);
#ifndef _WIN32
             // Linux only: the rival's probe of a socket pipe connects to
             // the live server; a second server of a Windows pipe is refused
             // by the system without a connection.
             // The rival's probe connects, finds the server live and hangs up.
             platform::PipeServer rival;
             EXPECT_FALSE(rival.listen("MV3_GAMELAUNCHER"));
             EXPECT_EQ(errno, EADDRINUSE);
             // Accepting drops the first client and takes the probe's connection.
             ASSERT_EQ(server.accept(5000), platform::PipeServer::Result::Ok);
             EXPECT_EQ(server.read(buffer, sizeof buffer, 5000), platform::PipeServer::Result::Closed);
#endif
         }},
        {"pipe nobody serves, and names that cannot be pipes",
         [&] {
             platform::PipeClient client;
             EXPECT_EQ(client.open("MV3_GAMELAUNCHER", 30), platform::PipeClient::OpenResult::NoInstance);
             EXPECT_EQ(client.open("a/b", 30), platform::PipeClient::OpenResult::Failed);
             platform::PipeServer server;
             EXPECT_FALSE(server.listen(""));
             EXPECT_EQ(server.accept(0), platform::PipeServer::Result::Failed);
         }},
#ifndef _WIN32
        // Linux only: the pipe is a Unix socket file there.
        {"pipe over a socket file nobody serves",
         [&] {
             const fs::path path = home.runtime() / "MV3_GAMELAUNCHER";
             const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
             ASSERT_GE(fd, 0);
             sockaddr_un address{};
             address.sun_family = AF_UNIX;
             std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
             ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
             ::close(fd);
             platform::PipeServer server;
             EXPECT_TRUE(server.listen("MV3_GAMELAUNCHER"));
         }},
#endif
    };
    std::vector<Case> all(std::begin(cases), std::end(cases));
#ifndef _WIN32
    // Across file systems a move copies through two more handles. Linux
    // only: mounting a second file system needs mount(2).
    const fs::path other = home.root() / "other";
    fs::create_directories(other);
    auto mounted = testsupport::FolderMount::tmpfs(other, 1 << 20);
    if (mounted.available()) {
        all.push_back({"tree moved across file systems: copied, refused, and the disk full", [&] {
                           writeFile(from / "moved.bin", "moved");
                           writeFile(from / "huge.bin", std::string(2 << 20, 'h'));
                           platform::ConfinedTree src, dst;
                           ASSERT_TRUE(open(src, from));
                           ASSERT_TRUE(open(dst, other));
                           EXPECT_TRUE(src.moveTo(L"moved.bin", dst));
                           EXPECT_FALSE(src.moveTo(L"fifo", dst));
                           EXPECT_EQ(errno, EINVAL);
                           EXPECT_FALSE(src.moveTo(L"huge.bin", dst));
                           EXPECT_EQ(errno, ENOSPC);
                       }});
    } else {
        std::fprintf(stderr, "cross-file-system move left out: %s\n", mounted.why().c_str());
    }
#endif
    for (const Case& c : all) {
        SCOPED_TRACE(c.name);
        const std::size_t before = openDescriptors();
        c.run();
        EXPECT_EQ(openDescriptors(), before);
    }
#ifndef _WIN32
    // Linux only: Windows opens handles of its own at first use (the
    // session's named-object folder, the standard streams' pipes under a
    // test runner), so there the count is held to each case alone.
    EXPECT_EQ(openDescriptors(), idle);
#endif
}

}  // namespace
