#include "foundation/ZipUtil.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/ZipReader.h"
#include "support/DiskFaults.h"
#include "support/Links.h"
#include "support/TempHome.h"
#include "support/ZipBuilder.h"

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::TempHome;
using testsupport::writeFile;
using testsupport::ZipBuilder;
using testsupport::ZipEntry;

namespace {

std::string randomBytes(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>('a' + rng() % 7);  // compressible, several 16 KiB pieces
    return s;
}

#ifndef _WIN32
struct stat statOf(const fs::path& p) {
    struct stat st{};
    EXPECT_EQ(::lstat(p.c_str(), &st), 0) << p;
    return st;
}

unsigned permissions(const fs::path& p) { return statOf(p).st_mode & 07777; }
#endif

// Without the owner-write bit (Linux) or with the read-only attribute (Windows).
bool isReadOnly(const fs::path& p) {
    return (fs::status(p).permissions() & fs::perms::owner_write) == fs::perms::none;
}

// Last write and last access, in seconds since 1970 (UTC).
struct Times {
    int64_t write = 0;
    int64_t access = 0;
};
Times timesOf(const fs::path& p) {
#ifdef _WIN32
    WIN32_FILE_ATTRIBUTE_DATA data{};
    EXPECT_TRUE(::GetFileAttributesExW(p.wstring().c_str(), GetFileExInfoStandard, &data)) << p;
    const auto seconds = [](const FILETIME& t) {
        const uint64_t ticks = (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
        return static_cast<int64_t>(ticks / 10000000u) - 11644473600;
    };
    return {seconds(data.ftLastWriteTime), seconds(data.ftLastAccessTime)};
#else
    const struct stat st = statOf(p);
    return {st.st_mtim.tv_sec, st.st_atim.tv_sec};
#endif
}

// Every entry below `root`, relative, sorted: what an extraction wrote.
std::vector<std::string> listTree(const fs::path& root) {
    std::vector<std::string> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        out.push_back(fs::relative(it->path(), root).generic_string());
    }
    std::sort(out.begin(), out.end());
    return out;
}

// remove_all, also where extraction left read-only files (which Windows
// does not delete).
void removeTree(const fs::path& root) {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        fs::permissions(it->path(), fs::perms::owner_write, fs::perm_options::add | fs::perm_options::nofollow, ec);
    }
    fs::remove_all(root);
}

class ZipUtilTest : public ::testing::Test {
protected:
    TempHome home;
    fs::path zipPath = home.root() / "client.upd";
    fs::path dest = home.root() / "install";

    int32_t unzip(const ZipBuilder& zip, const std::wstring& to) {
        zip.writeTo(zipPath);
        return getZipUtil()->UnZipFile(zipPath.wstring().c_str(), to.c_str());
    }
    int32_t unzip(const ZipBuilder& zip) { return unzip(zip, dest.wstring()); }
};

}  // namespace

TEST(ZipUtilInstance, OneInstancePerProcess) {
    ZipUtil* pZip = getZipUtil();
    ASSERT_NE(pZip, nullptr);
    EXPECT_EQ(pZip, getZipUtil());
}

TEST(ZipMemberAttributesTest, ExternalAttributesMapToFileAttributes) {
    constexpr uint32_t N = kFileAttributeNormal, R = kFileAttributeReadonly, D = kFileAttributeDirectory,
                       A = kFileAttributeArchive, H = kFileAttributeHidden, S = kFileAttributeSystem;
    struct Case {
        uint32_t external;
        uint32_t attributes;
    };
    static const Case kCases[] = {
        {0x00000000, N | R},                 // no Unix bits: read-only
        {0x00000020, N | R | A},             // a DOS writer's plain file
        {0x81a40000, N},                     // Unix 0100644
        {0x81240000, N | R},                 // Unix 0100444
        {0x81a40001, N | R},                 // DOS read-only bit wins over Unix owner-write
        {0x41ed0010, N | D},                 // Unix 040755 with the DOS directory bit
        {0x40000000, N | D | R},             // Unix directory bit alone
        {0x00800016, N | D | H | S},         // owner-write, DOS directory, hidden, system
    };
    for (const Case& c : kCases) EXPECT_EQ(ZipMemberAttributes(c.external), c.attributes) << std::hex << c.external;
}

TEST_F(ZipUtilTest, StoredAndDeflatedMembersWithFoldersFromEitherSeparator) {
    const std::string big = randomBytes(100000, 7);
    ZipBuilder zip;
    zip.file("top.txt", "top", 0)
        .file("a/b/c.txt", big, 8)
        .file("a/b/stored.bin", big, 0)
        .file("x\\y\\back.txt", "backslashes", 8)
        .file("x/y/slash.txt", "slashes", 0)
        .file("m\\n/mixed.txt", "mixed", 8)
        .folder("empty/folder/")
        .file("empty.txt", "", 8);

    // With and without a trailing separator, of either kind.
    for (const std::wstring suffix : {L"", L"/", L"\\"}) {
        SCOPED_TRACE(std::string(suffix.begin(), suffix.end()));
        removeTree(dest);
        ASSERT_EQ(unzip(zip, dest.wstring() + suffix), 0);
        EXPECT_EQ(readFile(dest / "top.txt"), "top");
        EXPECT_EQ(readFile(dest / "a/b/c.txt"), big);
        EXPECT_EQ(readFile(dest / "a/b/stored.bin"), big);
        EXPECT_EQ(readFile(dest / "x/y/back.txt"), "backslashes");
        EXPECT_EQ(readFile(dest / "x/y/slash.txt"), "slashes");
        EXPECT_EQ(readFile(dest / "m/n/mixed.txt"), "mixed");
        EXPECT_TRUE(fs::is_directory(dest / "empty/folder"));
        EXPECT_TRUE(fs::is_regular_file(dest / "empty.txt"));
        EXPECT_EQ(fs::file_size(dest / "empty.txt"), 0u);
        EXPECT_EQ(listTree(dest), (std::vector<std::string>{"a", "a/b", "a/b/c.txt", "a/b/stored.bin", "empty",
                                                            "empty.txt", "empty/folder", "m", "m/n", "m/n/mixed.txt",
                                                            "top.txt", "x", "x/y",
                                                            "x/y/back.txt", "x/y/slash.txt"}));
    }
}

TEST_F(ZipUtilTest, EmptyArchiveWritesNothing) {
    EXPECT_EQ(unzip(ZipBuilder()), 0);
    EXPECT_FALSE(fs::exists(dest));
}

TEST_F(ZipUtilTest, ReadOnlyMembersAreReplacedOnTheNextExtraction) {
    // A DOS writer stores no Unix bits: the member comes out read-only.
    ASSERT_EQ(unzip(ZipBuilder().file("client/launcher.exe", "version 1").file("client/launcher.db", "db 1")), 0);
    EXPECT_TRUE(isReadOnly(dest / "client/launcher.exe"));
#ifndef _WIN32
    EXPECT_EQ(permissions(dest / "client/launcher.exe"), 0444u);
#endif
    writeFile(dest / "client/user.cfg", "kept");

    ASSERT_EQ(unzip(ZipBuilder().file("client/launcher.exe", "version 2, longer").file("client/launcher.db", "2")),
              0);
    EXPECT_EQ(readFile(dest / "client/launcher.exe"), "version 2, longer");
    EXPECT_EQ(readFile(dest / "client/launcher.db"), "2");
    EXPECT_TRUE(isReadOnly(dest / "client/launcher.exe"));
#ifndef _WIN32
    EXPECT_EQ(permissions(dest / "client/launcher.exe"), 0444u);
#endif
    // Files the archive does not hold are left alone.
    EXPECT_EQ(readFile(dest / "client/user.cfg"), "kept");
}

TEST_F(ZipUtilTest, UnixModesAreAppliedWithoutGroupOrOtherWrite) {
    struct Case {
        const char* name;
        uint32_t mode;
        unsigned expected;
    };
    static const Case kCases[] = {
        {"bin/run.sh", 0100755, 0755},
        {"private.key", 0100600, 0600},
        {"readonly.txt", 0100444, 0444},
        {"setuid.bin", 0104755, 0755},  // set-id bits are never applied
        // Nobody but the owner may change what is installed.
        {"group.txt", 0100664, 0644},
        {"world.exe", 0100777, 0755},
        {"world.txt", 0100666, 0644},
        {"group-only.bin", 0100570, 0550},
    };
    ZipBuilder zip;
    for (const Case& c : kCases) zip.unixFile(c.name, c.name, c.mode);
    // The same name extracted over an existing file takes the new mode.
    writeFile(home.root() / "seed", "");
    ASSERT_EQ(unzip(zip), 0);
    ASSERT_EQ(unzip(zip), 0);
    for (const Case& c : kCases) {
#ifdef _WIN32
        // Of the mode, only the owner-write bit has a counterpart here.
        EXPECT_EQ(isReadOnly(dest / c.name), (c.expected & 0200) == 0) << c.name;
#else
        EXPECT_EQ(permissions(dest / c.name), c.expected) << c.name;
#endif
        EXPECT_EQ(readFile(dest / c.name), c.name);
    }
}

TEST_F(ZipUtilTest, SymbolicLinkMemberBecomesPlainFileWithTheLinkText) {
    ASSERT_EQ(unzip(ZipBuilder().unixFile("lib/libfoo.so", "../../etc/passwd", 0120777, 0)), 0);
    EXPECT_FALSE(testsupport::isLink(dest / "lib/libfoo.so"));
    EXPECT_TRUE(fs::is_regular_file(dest / "lib/libfoo.so"));
    EXPECT_FALSE(isReadOnly(dest / "lib/libfoo.so"));
#ifndef _WIN32
    const struct stat st = statOf(dest / "lib/libfoo.so");
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0644u);
#endif
    EXPECT_EQ(readFile(dest / "lib/libfoo.so"), "../../etc/passwd");
}

TEST_F(ZipUtilTest, DosTimesAreUtcAndUtTimestampsReplaceThem) {
    const uint32_t dos = ZipBuilder::dosDateTime(2020, 1, 2, 3, 4, 6);
    const int64_t dosSeconds = 1577934246;  // 2020-01-02 03:04:06 UTC
    struct Case {
        const char* name;
        std::string extra;
        int64_t mtime;
        int64_t atime;
    };
    const Case kCases[] = {
        {"dos.txt", "", dosSeconds, dosSeconds},
        {"ut-both.txt", ZipBuilder::utExtra(3, {1700000000u, 1600000000u}), 1700000000, 1600000000},
        // The directory's usual short form: flags announce more than it holds.
        {"ut-short.txt", ZipBuilder::utExtra(7, {1700000000u}), 1700000000, dosSeconds},
        {"ut-access.txt", ZipBuilder::utExtra(2, {1600000000u}), dosSeconds, 1600000000},
        // Another block first, then UT.
        {"ut-second.txt", std::string("\x0a\x00\x02\x00zz", 6) + ZipBuilder::utExtra(1, {1234567890u}), 1234567890,
         dosSeconds},
    };
    ZipBuilder zip;
    for (const Case& c : kCases) {
        ZipEntry e;
        e.name = c.name;
        e.data = "t";
        e.dosDateTime = dos;
        e.centralExtra = c.extra;
        zip.add(e);
    }
    ASSERT_EQ(unzip(zip), 0);
    for (const Case& c : kCases) {
        const Times t = timesOf(dest / c.name);
        EXPECT_EQ(t.write, c.mtime) << c.name;
        EXPECT_EQ(t.access, c.atime) << c.name;
    }
}

TEST_F(ZipUtilTest, MembersLeavingTheDestinationRefuseTheWholeArchive) {
    // Names are held to 259 characters; a ".." beyond that still counts.
    const std::string longLevel(300, 'a');
    const std::string kNames[] = {
        "../escape.txt", "a/../../escape.txt", "..\\escape.txt", "a\\..\\..\\escape.txt", "..",
        "/tmp/escape.txt", "\\escape.txt", "C:/escape.txt", "c:escape.txt", "ok/..",
        longLevel + "/../../escape.txt", std::string(258, 'a') + "/../../escape/",
        std::string(259, 'a') + "\\..\\..\\escape.txt",
        // What Windows reads as another place or another file: UNC and
        // "\\?\" prefixes, drive-relative forms, alternate data streams,
        // devices with any extension or letter case, trailing dots and spaces.
        "\\\\server\\share\\escape.txt", "//server/share/escape.txt", "\\\\?\\C:\\escape.txt",
        "//?/C:/escape.txt", "C:", "c:..\\escape.txt", "a/C:escape.txt", "first.txt:stream",
        "client/launcher.exe:evil:$DATA", "a:b/escape.txt", "CON", "con.txt", "a/NUL", "nul.tar.gz", "Aux",
        "PRN.log", "COM1", "com9.dll", "lpt1", "LPT9.txt", "COM0.txt", "NUL .txt", "CONIN$", "conout$.txt",
        "COM\xc2\xb9", "lpt\xc2\xb3.txt", "escape.txt.", "escape.txt ", "dir./x.txt", "dir /x.txt", "...",
        "a/. /b", "\\\\.\\C:\\escape.txt", "//./pipe/escape", "\\\\?\\UNC\\server\\share\\escape.txt", "CON:",
        "lpt1.", "COM1 ", "a/AUX.tar/b.txt", "escape.txt::$DATA", "dir\\..\\..\\escape.txt",
    };
    // Where a name read as rooted, drive-relative or relative to the working
    // folder would land, besides the test's own folder.
    std::vector<fs::path> elsewhere = {fs::current_path() / "escape.txt",
                                       fs::current_path().root_path() / "escape.txt"};
#ifdef _WIN32
    elsewhere.push_back("C:/escape.txt");
    elsewhere.push_back("C:/server/share/escape.txt");
#else
    elsewhere.push_back("/tmp/escape.txt");
#endif
    for (const fs::path& p : elsewhere) ASSERT_FALSE(fs::exists(p)) << p;
    ZipBuilder().writeTo(zipPath);
    const std::vector<std::string> before = listTree(home.root());
    for (const std::string& name : kNames) {
        SCOPED_TRACE(name);
        removeTree(dest);
        ZipBuilder zip;
        zip.file("first.txt", "written before the bad member?").file(name, "escaped").file("last.txt", "x");
        EXPECT_EQ(unzip(zip), 9999);
        EXPECT_FALSE(fs::exists(dest));
        EXPECT_EQ(listTree(home.root()), before);
        for (const fs::path& p : elsewhere) EXPECT_FALSE(fs::exists(p)) << p;
    }
    // ".." inside a longer level name is an ordinary name, and so are names
    // that only start like a device or hold a dot or space inside.
    const std::string kFine[] = {"a..b/..c", "console.txt", "nul_", "COM10", "LPT", "com1x.dll", ".hidden",
                                 "a b/c.d.e", "./x/./y"};
    ZipBuilder fine;
    for (const std::string& name : kFine) fine.file(name, "fine");
    ASSERT_EQ(unzip(fine), 0);
    for (const std::string& name : kFine) EXPECT_EQ(readFile(dest / name), "fine") << name;
}

TEST_F(ZipUtilTest, LinksInTheDestinationAreNeverFollowed) {
    using testsupport::LinkKind;
    const fs::path outside = home.root() / "outside";
    fs::create_directories(outside);
    writeFile(outside / "victim.txt", "untouched");
    struct Case {
        const char* at;
        fs::path target;
        LinkKind kind;
        const char* member;  // written through the link's place
    };
    const Case kCases[] = {
        {"a.txt", outside / "victim.txt", LinkKind::File, "a.txt"},
        {"sub", outside, LinkKind::Folder, "sub/x.txt"},
        {"dangling.txt", outside / "nothing-yet.txt", LinkKind::File, "dangling.txt"},
        // Windows' own folder link; Linux has only the one kind.
        {"junction", outside, LinkKind::Junction, "junction/y.txt"},
    };
    int planted = 0;
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.at);
        // A destination of its own: a link left behind is not removed.
        const fs::path into = home.root() / (std::string("install-") + c.at);
        fs::create_directories(into);
        const std::string why = testsupport::plantLink(c.target, into / c.at, c.kind);
        if (!why.empty()) {
            // Left out only where the system cannot make that kind of link.
            std::fprintf(stderr, "%s left out: %s\n", c.at, why.c_str());
            continue;
        }
        ++planted;
        ASSERT_TRUE(testsupport::isLink(into / c.at));
        const int32_t rc = unzip(ZipBuilder().file(c.member, "new").file("last.txt", "last"), into.wstring());
        EXPECT_EQ(readFile(outside / "victim.txt"), "untouched");
        EXPECT_EQ(listTree(outside), (std::vector<std::string>{"victim.txt"}));
        if (testsupport::runningUnderWine() && c.kind != LinkKind::File) {
            // Wine follows its links to folders when asked to open the link
            // itself, and its removal by name takes the target: such a link
            // is refused, left as it is, and nothing goes through it.
            EXPECT_NE(rc, 0);
            EXPECT_TRUE(testsupport::isLink(into / c.at));
            EXPECT_FALSE(fs::exists(into / "last.txt"));
            continue;
        }
        EXPECT_EQ(rc, 0);
        EXPECT_FALSE(testsupport::isLink(into / c.at));
        EXPECT_EQ(readFile(into / c.member), "new");
        EXPECT_EQ(readFile(into / "last.txt"), "last");
    }
    EXPECT_GE(planted, 3);
}

TEST_F(ZipUtilTest, ArchivesThatCannotBeOpened) {
    std::string good = ZipBuilder().file("a.txt", "aaaa").file("b/b.txt", "bbbb").build();
    struct Case {
        const char* what;
        std::string bytes;
    };
    const Case kCases[] = {
        {"not a ZIP", "this is a plain text file, not an archive\n"},
        {"empty file", ""},
        {"cut in the end record", good.substr(0, good.size() - 10)},
        {"end record missing", good.substr(0, good.size() - 22)},
        {"cut in half", good.substr(0, good.size() / 2)},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        removeTree(dest);
        writeFile(zipPath, c.bytes);
        EXPECT_EQ(getZipUtil()->UnZipFile(zipPath.wstring().c_str(), dest.wstring().c_str()), 9999);
        EXPECT_EQ(getZipUtil()->UnZipMemory(c.bytes.data(), c.bytes.size(), dest.wstring().c_str()), 9999);
        EXPECT_FALSE(fs::exists(dest));
    }
    EXPECT_EQ(getZipUtil()->UnZipFile((home.root() / "missing.zip").wstring().c_str(), dest.wstring().c_str()), 9999);
    EXPECT_EQ(getZipUtil()->UnZipFile(nullptr, dest.wstring().c_str()), 9999);
    EXPECT_FALSE(fs::exists(dest));
}

TEST_F(ZipUtilTest, FailingMemberStopsTheExtraction) {
    ZipEntry bzip2;
    bzip2.name = "b.bin";
    bzip2.data = "not really bzip2";
    bzip2.method = 12;
    ZipEntry encrypted;
    encrypted.name = "b.bin";
    encrypted.data = "secret";
    encrypted.method = 0;
    encrypted.flags = 1;

    // A deflated member whose data are damaged while the directory is whole.
    ZipBuilder corrupt;
    corrupt.file("a.txt", "first").file("b.bin", randomBytes(50000, 3), 8).file("c.txt", "never");
    std::string corruptBytes = corrupt.build();
    const std::size_t dataStart = corruptBytes.find("b.bin") + 5;
    for (std::size_t i = dataStart + 10; i < dataStart + 200; ++i) corruptBytes[i] = '\xff';

    struct Case {
        const char* what;
        std::string bytes;
    };
    const Case kCases[] = {
        {"method 12", ZipBuilder().file("a.txt", "first").add(bzip2).file("c.txt", "never").build()},
        {"encrypted", ZipBuilder().file("a.txt", "first").add(encrypted).file("c.txt", "never").build()},
        {"damaged deflate data", corruptBytes},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        removeTree(dest);
        writeFile(zipPath, c.bytes);
        EXPECT_EQ(getZipUtil()->UnZipFile(zipPath.wstring().c_str(), dest.wstring().c_str()), 1024);
        EXPECT_EQ(readFile(dest / "a.txt"), "first");
        EXPECT_TRUE(fs::exists(dest / "b.bin"));  // the partly written target stays
        EXPECT_FALSE(fs::exists(dest / "c.txt"));  // later members are not tried
    }
}

// The declared size is what the room was judged by: a member whose data
// hold more is refused as soon as it passes that size, and never more than
// it declared is written.
TEST_F(ZipUtilTest, MemberHoldingMoreThanItDeclaresStopsTheExtraction) {
    struct Case {
        const char* what;
        uint16_t method;
        std::size_t dataSize;
        uint32_t declared;
    };
    static const Case kCases[] = {
        {"deflated, far more", 8, 3u << 20, 1000},
        {"deflated, one byte more", 8, 40001, 40000},
        {"deflated, nothing declared", 8, 100, 0},
        {"stored, more", 0, 50000, 10},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        removeTree(dest);
        ZipEntry big;
        big.name = "b.bin";
        big.data = randomBytes(c.dataSize, 5);
        big.method = c.method;
        big.declaredSize = c.declared;
        ZipBuilder zip;
        zip.file("a.txt", "first").add(big).file("c.txt", "never");
        EXPECT_EQ(unzip(zip), 1024);
        EXPECT_EQ(readFile(dest / "a.txt"), "first");
        EXPECT_LE(fs::file_size(dest / "b.bin"), c.declared);
        EXPECT_FALSE(fs::exists(dest / "c.txt"));
    }
    // Exactly the declared size, and less (the file is as long as the data).
    ZipEntry shorter;
    shorter.name = "short.bin";
    shorter.data = randomBytes(30000, 6);
    shorter.declaredSize = 40000;
    removeTree(dest);
    ASSERT_EQ(unzip(ZipBuilder().file("exact.bin", randomBytes(40000, 6)).add(shorter)), 0);
    EXPECT_EQ(readFile(dest / "exact.bin"), randomBytes(40000, 6));
    EXPECT_EQ(readFile(dest / "short.bin"), randomBytes(30000, 6));
}

// The sum of the declared sizes, with a margin, against the free space of
// the destination's file system (here an 8 MiB tmpfs): what cannot fit is
// refused before anything is written, so the disk is never filled.
#ifndef _WIN32
// Linux only: a small file system mounted over a folder needs mount(2); a
// Windows test cannot make a small volume.
TEST_F(ZipUtilTest, ArchiveThatCannotFitIsRefusedBeforeAnythingIsWritten) {
    const fs::path small = home.root() / "small";
    fs::create_directories(small);
    auto mount = testsupport::FolderMount::tmpfs(small, 8u << 20);
    if (!mount.available()) GTEST_SKIP() << mount.why();
    const fs::path into = small / "staging/";
    struct Case {
        const char* what;
        std::vector<std::size_t> sizes;
        int32_t code;
    };
    const Case kCases[] = {
        {"one member larger than the file system", {100, 16u << 20}, kZipNoSpace},
        {"members that fit one by one, not together", {3u << 20, 3u << 20, 3u << 20}, kZipNoSpace},
        {"the margin does not fit", {7u << 20}, kZipNoSpace},
        {"room to spare", {3u << 20, 2u << 20}, kZipOk},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        removeTree(into);
        ZipBuilder zip;
        for (std::size_t i = 0; i < c.sizes.size(); ++i) {
            zip.file("m" + std::to_string(i) + ".bin", std::string(c.sizes[i], '\0'));
        }
        errno = 0;
        EXPECT_EQ(unzip(zip, into.wstring()), c.code);
        if (c.code == kZipNoSpace) {
            EXPECT_EQ(errno, ENOSPC);
            EXPECT_FALSE(fs::exists(into));
        } else {
            EXPECT_EQ(fs::file_size(into / "m1.bin"), c.sizes[1]);
        }
    }
    // A declared size that the data do not back is still counted.
    ZipEntry claims;
    claims.name = "claims.bin";
    claims.data = "tiny";
    claims.method = 0;
    claims.declaredSize = 0xffffffffu;
    removeTree(into);
    EXPECT_EQ(unzip(ZipBuilder().add(claims), into.wstring()), kZipNoSpace);
    EXPECT_FALSE(fs::exists(into));
}
#endif

TEST_F(ZipUtilTest, TargetsThatCannotBeCreated) {
    struct Case {
        const char* what;
        ZipBuilder zip;
        const char* notWritten;
    };
    const std::string longName = std::string(300, 'n');
    const Case kCases[] = {
        {"a folder stands at the target", ZipBuilder().folder("name/").file("name", "x").file("after", "x"),
         "after"},
        {"a file stands at a folder level", ZipBuilder().file("f", "x").file("f/inner.txt", "x").file("after", "x"),
         "after"},
        {"target longer than 259 characters", ZipBuilder().file(longName, "x").file("after", "x"), "after"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        removeTree(dest);
        EXPECT_EQ(unzip(c.zip), 512);
        EXPECT_FALSE(fs::exists(dest / c.notWritten));
    }
    EXPECT_FALSE(fs::exists(dest / longName.substr(0, 200)));
}

#ifndef _WIN32
// Linux only: acting as another user takes fork and setuid.
TEST_F(ZipUtilTest, TargetThatCanNeitherBeMadeWritableNorDeletedGives8888) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    // A file owned by root, in a folder owned by root, extracted by an
    // ordinary user: chmod and unlink both fail.
    std::string templ = (fs::temp_directory_path() / "glzip-XXXXXX").string();
    ASSERT_NE(::mkdtemp(templ.data()), nullptr);
    const fs::path base = templ;
    ::chmod(base.c_str(), 0755);
    const fs::path target = base / "dest";
    fs::create_directories(target);
    ::chmod(target.c_str(), 0755);
    writeFile(target / "locked.txt", "root's");
    ::chmod((target / "locked.txt").c_str(), 0444);
    const fs::path archive = base / "pkg.zip";
    ZipBuilder().file("locked.txt", "user's").writeTo(archive);
    ::chmod(archive.c_str(), 0644);

    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::close(fds[0]);
        int32_t rc = -1;
        if (::setgid(65534) == 0 && ::setuid(65534) == 0) {
            rc = getZipUtil()->UnZipFile(archive.wstring().c_str(), target.wstring().c_str());
        }
        (void)!::write(fds[1], &rc, sizeof rc);
        ::_exit(0);
    }
    ::close(fds[1]);
    int32_t rc = 0;
    ASSERT_EQ(::read(fds[0], &rc, sizeof rc), static_cast<ssize_t>(sizeof rc));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_EQ(rc, 8888);
    EXPECT_EQ(readFile(target / "locked.txt"), "root's");
    fs::remove_all(base);
}
#endif

TEST_F(ZipUtilTest, ArchiveHeldInMemory) {
    const std::string big = randomBytes(70000, 11);
    const std::string bytes = ZipBuilder()
                                  .file("skin/gamelauncher.xml", "<Window/>", 8)
                                  .file("skin\\picRes\\bg.png", big, 0)
                                  .unixFile("skin/tool", "#!/bin/sh\n", 0100755)
                                  .build();
    ASSERT_EQ(getZipUtil()->UnZipMemory(bytes.data(), bytes.size(), dest.wstring().c_str()), 0);
    EXPECT_EQ(readFile(dest / "skin/gamelauncher.xml"), "<Window/>");
    EXPECT_EQ(readFile(dest / "skin/picRes/bg.png"), big);
#ifndef _WIN32
    EXPECT_EQ(permissions(dest / "skin/tool"), 0755u);
#endif

    // Reading single members into memory, as the window's skin needs.
    ZipReader reader;
    ASSERT_TRUE(reader.openMemory(bytes.data(), bytes.size()));
    std::string out;
    EXPECT_TRUE(reader.readWhole("skin/gamelauncher.xml", out));
    EXPECT_EQ(out, "<Window/>");
    EXPECT_TRUE(reader.readWhole("skin/picRes/bg.png", out));  // stored with backslashes
    EXPECT_EQ(out, big);
    EXPECT_FALSE(reader.readWhole("skin/missing.png", out));
    EXPECT_FALSE(reader.readWhole("skin/picRes/bg.png", out, 1000));  // larger than allowed
    EXPECT_TRUE(out.empty());

    EXPECT_FALSE(reader.openMemory(bytes.data(), bytes.size() / 2));
    EXPECT_EQ(getZipUtil()->UnZipMemory(nullptr, 0, dest.wstring().c_str()), 9999);
}

TEST_F(ZipUtilTest, DirectoryLargerThanTheReadWindow) {
    // 1,500 entries of about 100 bytes each: the directory spans several of
    // the reader's 64 KiB windows, and so do the members' data.
    ZipBuilder zip;
    for (int i = 0; i < 1500; ++i) {
        const std::string name = "folder" + std::to_string(i % 7) + "/member-with-a-longish-name-" + std::to_string(i);
        zip.file(name, "content " + std::to_string(i) + std::string(static_cast<std::size_t>(i % 97), 'x'), i % 2 ? 8 : 0);
    }
    const std::string bytes = zip.build();
    ASSERT_GT(bytes.size(), 3u * 65536);
    ASSERT_EQ(unzip(zip), 0);
    const fs::path viaMemory = home.root() / "memory";
    ASSERT_EQ(getZipUtil()->UnZipMemory(bytes.data(), bytes.size(), viaMemory.wstring().c_str()), 0);
    for (int i : {0, 1, 749, 1498, 1499}) {
        const std::string name = "folder" + std::to_string(i % 7) + "/member-with-a-longish-name-" + std::to_string(i);
        const std::string expected = "content " + std::to_string(i) + std::string(static_cast<std::size_t>(i % 97), 'x');
        EXPECT_EQ(readFile(dest / name), expected) << name;
        EXPECT_EQ(readFile(viaMemory / name), expected) << name;
    }
    EXPECT_EQ(listTree(dest), listTree(viaMemory));
    EXPECT_EQ(listTree(dest).size(), 1507u);
}
