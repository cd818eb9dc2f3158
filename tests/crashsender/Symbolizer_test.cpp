// Symbolisation against this test program's own code: the names, files and
// lines must be the ones the compiler put there, and a file that is not the
// one that ran must be called out.
#include "Symbolizer.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/sysmacros.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "CrashDescription.h"
#include "SenderTestSupport.h"

namespace fs = std::filesystem;

namespace crashsendertest {

// The "crashed" function and its caller; kept out of line so they have
// addresses of their own. Their line numbers are checked below.
__attribute__((noinline)) int faultingFunction(volatile int* p) {  // line 25
    return *p + 1;
}
__attribute__((noinline)) int callingFunction(volatile int* p) {  // line 28
    return faultingFunction(p) * 2;
}

// Code the compiler copies into its caller, even without optimisation; the
// address it hands out lies inside that copy.
__attribute__((always_inline)) inline uint64_t inlinedHelper(volatile int* p) {
    uint64_t pc = 0;
    *p = *p + 1;
    asm volatile("lea 0(%%rip), %0" : "=r"(pc));
    return pc;
}
__attribute__((noinline)) uint64_t outerFunction(volatile int* p) {
    return inlinedHelper(p) + static_cast<uint64_t>(*p) * 0;
}

}  // namespace crashsendertest

namespace {

using crashsender::CrashDescription;
using crashsender::Symbolizer;

uint64_t addressOf(int (*f)(volatile int*)) { return reinterpret_cast<uint64_t>(f); }

// The GNU build id as binutils reads it, to check libdwfl's against.
std::string buildIdByReadelf(const std::string& path) {
    std::string out;
    FILE* p = ::popen(("readelf -n '" + path + "' 2>/dev/null").c_str(), "r");
    if (p == nullptr) return out;
    char line[512];
    while (std::fgets(line, sizeof line, p)) {
        const std::string s = line;
        const std::size_t at = s.find("Build ID: ");
        if (at != std::string::npos) {
            out = s.substr(at + 10);
            while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
        }
    }
    ::pclose(p);
    return out;
}

CrashDescription describe(const sendertest::Report& r) {
    const testsupport::TempHome home;
    const std::string text = sendertest::writeReport(home.root() / "r", r);
    CrashDescription d;
    EXPECT_TRUE(crashsender::parseCrashDescription(text, d));
    return d;
}

// The C library's own abort: under ThreadSanitizer &::abort is the
// sanitizer's interceptor of that name.
uint64_t libcAbortAddress() {
    void* libc = ::dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
    void* address = libc != nullptr ? ::dlsym(libc, "abort") : nullptr;
    if (libc != nullptr) ::dlclose(libc);
    return reinterpret_cast<uint64_t>(address != nullptr ? address : reinterpret_cast<void*>(&::abort));
}

TEST(Symbolizer, NamesFunctionFileAndLineOfEachFrame) {
    sendertest::Report r;
    r.frames = sendertest::codeRecord("frame", 0, addressOf(crashsendertest::faultingFunction) + 4) +
               sendertest::codeRecord("frame", 1, addressOf(crashsendertest::callingFunction) + 8) +
               sendertest::codeRecord("frame", 2, libcAbortAddress() + 1) +
               "frame\t3\t0x10\t0x0\t0x0\t-\n";
    const CrashDescription d = describe(r);
    ASSERT_EQ(d.frames.size(), 4u);
    Symbolizer s(d, crashsender::parseMaps(sendertest::ownMaps()));

    const auto top = s.locate(d.frames[0], false);
    EXPECT_EQ(top.function, "crashsendertest::faultingFunction(int volatile*)");
    EXPECT_EQ(top.functionOffset, 4u);
    EXPECT_EQ(fs::path(top.file).filename(), "Symbolizer_test.cpp");
    EXPECT_GE(top.line, 23);
    EXPECT_LE(top.line, 25);
    EXPECT_FALSE(top.doubtful);

    // A return address is looked up one byte before: still the caller.
    const auto caller = s.locate(d.frames[1], true);
    EXPECT_EQ(caller.function, "crashsendertest::callingFunction(int volatile*)");
    EXPECT_EQ(caller.functionOffset, 7u);
    EXPECT_GE(caller.line, 26);
    EXPECT_LE(caller.line, 28);

    // The C library: a name from its symbol table, without debug lines.
    const auto lib = s.locate(d.frames[2], true);
    EXPECT_EQ(lib.function, "abort");

    // An address in no file: nothing, and no failure.
    const auto none = s.locate(d.frames[3], true);
    EXPECT_EQ(none.function, "");
    EXPECT_EQ(none.file, "");

    const std::string text = crashsender::symbolisedReport(d, s, true);
    char head[32];
    std::snprintf(head, sizeof head, "#0   0x%016" PRIx64 " ", d.frames[0].address);
    EXPECT_NE(text.find(head), std::string::npos) << text;
    EXPECT_NE(text.find("crashsendertest::faultingFunction(int volatile*) + 0x4 at "), std::string::npos) << text;
    EXPECT_NE(text.find("morvel3_launcher tried to use memory it could not use and had to close."), std::string::npos);
    EXPECT_EQ(text.find("[doubtful]"), std::string::npos);
}

// The line of a marker comment in this file, so the test does not pin
// numbers that move with every edit.
int lineOf(const std::string& marker) {
    const std::string text = testsupport::readFile(GL_TEST_SOURCE_DIR "/tests/crashsender/Symbolizer_test.cpp");
    int line = 1;
    for (std::size_t i = 0; i < text.size() && text.compare(i, marker.size(), marker) != 0; ++i) {
        if (text[i] == '\n') ++line;
    }
    return line;
}

TEST(Symbolizer, NamesInlinedCodeAndWhereItWasInlined) {
    volatile int value = 1;
    const uint64_t pc = crashsendertest::outerFunction(&value);
    sendertest::Report r;
    r.frames = sendertest::codeRecord("frame", 0, pc);
    const CrashDescription d = describe(r);
    Symbolizer s(d, crashsender::parseMaps(sendertest::ownMaps()));
    const auto loc = s.locate(d.frames[0], false);
    EXPECT_EQ(loc.function, "crashsendertest::inlinedHelper(int volatile*)");
    EXPECT_EQ(loc.line, lineOf("lea 0(%%rip)"));
    ASSERT_EQ(loc.callers.size(), 1u);
    EXPECT_EQ(loc.callers[0].function, "crashsendertest::outerFunction(int volatile*)");
    EXPECT_EQ(fs::path(loc.callers[0].file).filename(), "Symbolizer_test.cpp");
    EXPECT_EQ(loc.callers[0].line, lineOf("return inlinedHelper(p)"));
    const std::string text = crashsender::symbolisedReport(d, s, true);
    EXPECT_NE(text.find("crashsendertest::inlinedHelper(int volatile*) at "), std::string::npos) << text;
    EXPECT_NE(text.find("\n        inlined into crashsendertest::outerFunction(int volatile*) + 0x"), std::string::npos)
        << text;
}

TEST(Symbolizer, ChecksTheBuildIdOfTheExecutable) {
    const std::string onDisk = buildIdByReadelf(sendertest::ownExe());
    ASSERT_FALSE(onDisk.empty()) << "the test program has no build id";
    struct Case {
        const char* what;
        std::string recorded;
        std::string note;
        bool doubtful;
    };
    std::string upper = onDisk;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const Case cases[] = {
        {"none recorded", "", "The report records no build id", false},
        {"same", onDisk, "Build id of " + sendertest::ownExe() + " matches: " + onDisk + ".", false},
        {"same, upper case", upper, "matches: " + onDisk, false},
        {"another", "00112233445566778899aabbccddeeff00112233",
         "WARNING: build id mismatch: the report records 00112233445566778899aabbccddeeff00112233 but " +
             sendertest::ownExe() + " on disk has " + onDisk,
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sendertest::Report r;
        r.buildId = c.recorded;
        r.frames = sendertest::codeRecord("frame", 0, addressOf(crashsendertest::faultingFunction));
        const CrashDescription d = describe(r);
        Symbolizer s(d, crashsender::parseMaps(sendertest::ownMaps()));
        EXPECT_EQ(s.exeBuildIdOnDisk(), onDisk);
        const std::string text = crashsender::symbolisedReport(d, s, true);
        EXPECT_NE(text.find(c.note), std::string::npos) << text;
        EXPECT_EQ(text.find("[doubtful]") != std::string::npos, c.doubtful) << text;
        EXPECT_NE(text.find("faultingFunction"), std::string::npos);
    }
}

TEST(Symbolizer, AFileReplacedSinceTheCrashIsCalledOut) {
    // A copy of this program has another inode than the mapped one.
    const testsupport::TempHome home;
    const fs::path copy = home.root() / "copy-of-test";
    fs::copy_file(sendertest::ownExe(), copy);
    std::string maps = sendertest::ownMaps();
    const std::string exe = sendertest::ownExe();
    for (std::size_t at = maps.find(exe); at != std::string::npos; at = maps.find(exe, at + 1)) {
        maps.replace(at, exe.size(), copy.string());
    }
    sendertest::Report r;
    r.exe = copy.string();
    std::string frame = sendertest::codeRecord("frame", 0, addressOf(crashsendertest::faultingFunction));
    frame.replace(frame.find(exe), exe.size(), copy.string());
    r.frames = frame;
    const CrashDescription d = describe(r);
    Symbolizer s(d, crashsender::parseMaps(maps));
    const auto loc = s.locate(d.frames[0], false);
    EXPECT_EQ(loc.function, "crashsendertest::faultingFunction(int volatile*)");
    EXPECT_TRUE(loc.doubtful);
    const std::string text = crashsender::symbolisedReport(d, s, false);
    EXPECT_NE(text.find("WARNING: " + copy.string() + " on disk is not the file that was mapped"), std::string::npos)
        << text;
    EXPECT_NE(text.find("WARNING: the report was not finished at the crash"), std::string::npos);

    // And a file that is gone is named, not fatal.
    fs::remove(copy);
    Symbolizer gone(d, crashsender::parseMaps(maps));
    EXPECT_EQ(gone.locate(d.frames[0], false).function, "");
    const std::string goneText = crashsender::symbolisedReport(d, gone, true);
    EXPECT_NE(goneText.find("Cannot read " + copy.string() + ": No such file or directory."), std::string::npos)
        << goneText;
}

TEST(Symbolizer, MapsLinesThatNameFiles) {
    const std::string maps =
        "55d0a0000000-55d0a0001000 r--p 00000000 fe:00 247134                     /usr/bin/cat\n"
        "55d0a0001000-55d0a0005000 r-xp 00001000 fe:00 247134                     /usr/bin/cat\n"
        "7ffc00000000-7ffc00021000 rw-p 00000000 00:00 0                          [stack]\n"
        "7f0000000000-7f0000001000 rw-p 00000000 00:00 0 \n"
        "7f0000001000-7f0000002000 r-xp 00000000 08:01 42 /opt/a b/lib x.so (deleted)\n"
        "zz-7f0000002000 r-xp 00000000 08:01 42 /bad\n"
        "7f0000002000-7f0000003000 r-xp 00000000 08:01\n"
        "7f0000003000-7f0000004000 r-xp 00000000 08:01 4x /bad\n"
        "7f0000004000-7f0000005000 r-xp 00002000 103:02 7 /last";
    const auto m = crashsender::parseMaps(maps);
    ASSERT_EQ(m.size(), 4u);
    EXPECT_EQ(m[0].path, "/usr/bin/cat");
    EXPECT_EQ(m[0].start, 0x55d0a0000000u);
    EXPECT_EQ(m[0].end, 0x55d0a0001000u);
    EXPECT_FALSE(m[0].executable);
    EXPECT_EQ(m[0].inode, 247134u);
    EXPECT_EQ(m[0].device, makedev(0xfe, 0));
    EXPECT_TRUE(m[1].executable);
    EXPECT_EQ(m[1].offset, 0x1000u);
    EXPECT_EQ(m[2].path, "/opt/a b/lib x.so (deleted)");
    EXPECT_EQ(m[3].path, "/last");
    EXPECT_EQ(m[3].device, makedev(0x103, 2));
    EXPECT_EQ(m[3].offset, 0x2000u);
}

}  // namespace
