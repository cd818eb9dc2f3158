#include "foundation/Md5.h"

#ifdef _WIN32
#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>
#include <winioctl.h>
#else
#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>
#endif

#include <cstring>
#include <filesystem>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "platform/file.h"
#include "support/TempHome.h"

namespace fs = std::filesystem;
using testsupport::TempHome;
using testsupport::writeFile;

namespace {

std::string hex(const unsigned char* d, std::size_t n) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s.push_back(digits[d[i] >> 4]);
        s.push_back(digits[d[i] & 15]);
    }
    return s;
}

// An independent digest of the same bytes in one call, to check the chunked
// file reads.
std::string referenceMd5(const std::string& bytes) {
#ifdef _WIN32
    unsigned char d[16] = {};
    BCRYPT_ALG_HANDLE md5 = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    EXPECT_GE(::BCryptOpenAlgorithmProvider(&md5, BCRYPT_MD5_ALGORITHM, nullptr, 0), 0);
    EXPECT_GE(::BCryptCreateHash(md5, &hash, nullptr, 0, nullptr, 0, 0), 0);
    EXPECT_GE(::BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())),
                               static_cast<ULONG>(bytes.size()), 0),
              0);
    EXPECT_GE(::BCryptFinishHash(hash, d, sizeof d, 0), 0);
    ::BCryptDestroyHash(hash);
    ::BCryptCloseAlgorithmProvider(md5, 0);
    return hex(d, sizeof d);
#else
    unsigned char d[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(bytes.data(), bytes.size(), d, &n, EVP_md5(), nullptr);
    return hex(d, n);
#endif
}

// A file of `size` bytes whose last ones are `tail` and whose rest is a hole
// of zero bytes: sparse, so it costs time to read but no disk space.
void writeSparseFile(const fs::path& p, uint64_t size, const std::string& tail) {
#ifdef _WIN32
    const HANDLE h =
        ::CreateFileW(p.wstring().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    // NTFS fills the hole with allocated zeros unless told the file is
    // sparse; a file system without the notion (Wine's host) makes holes anyway.
    DWORD returned = 0;
    ::DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(size - tail.size());
    DWORD written = 0;
    const bool ok = ::SetFilePointerEx(h, at, nullptr, FILE_BEGIN) &&
                    ::WriteFile(h, tail.data(), static_cast<DWORD>(tail.size()), &written, nullptr);
    ::CloseHandle(h);
    ASSERT_TRUE(ok);
    ASSERT_EQ(written, tail.size());
#else
    const int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    const ssize_t written = ::pwrite(fd, tail.data(), tail.size(), static_cast<off_t>(size - tail.size()));
    ::close(fd);
    ASSERT_EQ(written, static_cast<ssize_t>(tail.size()));
#endif
}

std::string randomBytes(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(rng());
    return s;
}

std::string digestOf(MD5_CTX& ctx, const std::string& text) {
    ctx.MD5Update(reinterpret_cast<const unsigned char*>(text.data()), text.size());
    unsigned char d[16];
    ctx.MD5Final(d);
    return hex(d, 16);
}

}  // namespace

TEST(Md5Context, Rfc1321SuiteWithOneContextReusedAfterEachFinal) {
    struct Case {
        const char* input;
        const char* digest;
    };
    static const Case kCases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    MD5_CTX ctx;
    for (const Case& c : kCases) EXPECT_EQ(digestOf(ctx, c.input), c.digest) << '"' << c.input << '"';

    // Final leaves a freshly initialised context behind.
    EXPECT_EQ(ctx.count[0], 0u);
    EXPECT_EQ(ctx.count[1], 0u);
    EXPECT_EQ(ctx.state[0], 0x67452301u);
    EXPECT_EQ(ctx.state[3], 0x10325476u);
    EXPECT_EQ(ctx.padding[0], 0x80);
    for (int i = 1; i < 64; ++i) ASSERT_EQ(ctx.padding[i], 0) << i;
}

TEST(Md5Context, PiecewiseUpdatesKeepBitCountAndTailBuffer) {
    const std::string text = randomBytes(1000, 1);
    MD5_CTX ctx;
    // Uneven pieces that straddle 64-byte blocks.
    std::size_t pos = 0;
    for (std::size_t piece : {1u, 63u, 64u, 65u, 7u, 300u, 500u}) {
        ctx.MD5Update(reinterpret_cast<const unsigned char*>(text.data() + pos), piece);
        pos += piece;
    }
    ASSERT_EQ(pos, text.size());
    EXPECT_EQ(ctx.count[0], 8000u);
    EXPECT_EQ(ctx.count[1], 0u);
    // 1000 = 15 * 64 + 40: the last 40 bytes wait in the buffer.
    EXPECT_EQ(std::memcmp(ctx.buffer, text.data() + 960, 40), 0);
    unsigned char d[16];
    ctx.MD5Final(d);
    EXPECT_EQ(hex(d, 16), referenceMd5(text));
}

class Md5FileTest : public ::testing::Test {
protected:
    TempHome home;
    fs::path path(const char* name) const { return home.root() / name; }
};

TEST_F(Md5FileTest, FileDigestsAtChunkBoundaries) {
    // Sizes around the 524,288-byte read piece: one piece, one plus a byte,
    // exactly two, and a partial last piece.
    for (std::size_t size : {std::size_t{1}, std::size_t{524287}, std::size_t{524288}, std::size_t{524289},
                             std::size_t{1048576}, std::size_t{1300000}}) {
        const std::string bytes = randomBytes(size, static_cast<unsigned>(size));
        const fs::path p = path("data.bin");
        writeFile(p, bytes);
        char out[33] = {};
        ASSERT_EQ(getFileMd5(p.wstring().c_str(), out), 0) << size;
        EXPECT_EQ(std::string(out), referenceMd5(bytes)) << size;
        EXPECT_EQ(checkFileMd5(p.wstring().c_str(), referenceMd5(bytes).c_str()), 0) << size;
    }
}

TEST_F(Md5FileTest, ResultCodes) {
    const fs::path content = path("content.txt");
    writeFile(content, "abc");
    const fs::path empty = path("empty.txt");
    writeFile(empty, "");
    const fs::path missing = path("missing.txt");
    const fs::path folder = path("folder");
    fs::create_directories(folder);

    const std::wstring c = content.wstring(), e = empty.wstring(), m = missing.wstring(), f = folder.wstring();
    struct Case {
        const char* what;
        int32_t code;
        int32_t expected;
    };
    char out[64] = {};
    MD5_CTX ctx;
    std::stop_source raised;
    raised.request_stop();
    const Case kCases[] = {
        {"check: equal", checkFileMd5(c.c_str(), "900150983cd24fb0d6963f7d28e17f72"), 0},
        {"check: upper case expected", checkFileMd5(c.c_str(), "900150983CD24FB0D6963F7D28E17F72"), 0},
        {"check: other digest", checkFileMd5(c.c_str(), "00000000000000000000000000000000"), 7777},
        {"check: prefix only", checkFileMd5(c.c_str(), "900150983cd24fb0"), 7777},
        {"check: no expected text", checkFileMd5(c.c_str(), nullptr), 7777},
        {"check: missing file", checkFileMd5(m.c_str(), "900150983cd24fb0d6963f7d28e17f72"), 6666},
        {"check: folder", checkFileMd5(f.c_str(), "900150983cd24fb0d6963f7d28e17f72"), 2},
        {"check: empty file", checkFileMd5(e.c_str(), "d41d8cd98f00b204e9800998ecf8427e"), -3},
        {"get: no buffer", getFileMd5(c.c_str(), nullptr), 10},
        {"get: no path", getFileMd5(nullptr, out), 1},
        {"get: missing file", getFileMd5(m.c_str(), out), 2},
        {"get: empty file", getFileMd5(e.c_str(), out), -3},
        {"digestPath: no path", ctx.digestPath(out, nullptr), 1},
        {"digestFile: no handle", ctx.digestFile(nullptr, out), -1},
        {"get: stop raised", getFileMd5(c.c_str(), out, raised.get_token()), -5},
        {"get: stop never raised", getFileMd5(e.c_str(), out, std::stop_source().get_token()), -3},
    };
    for (const Case& k : kCases) EXPECT_EQ(k.code, k.expected) << k.what;
    // No failure wrote anything.
    EXPECT_STREQ(out, "");
}

TEST_F(Md5FileTest, FailedReadLeavesOutputEmpty) {
    const fs::path p = path("content.txt");
    writeFile(p, "abc");
    // Opened without read access: the size is known, the first read fails.
    platform::File file;
    ASSERT_TRUE(file.open(p.wstring(), platform::File::Access::Write, platform::File::Disposition::OpenExisting));
    MD5_CTX ctx;
    char out[33] = {};
    EXPECT_EQ(ctx.digestFile(&file, out), -4);
    EXPECT_STREQ(out, "");
    platform::File closed;
    EXPECT_EQ(ctx.digestFile(&closed, out), -1);
}

TEST_F(Md5FileTest, DigestIsAppendedWithinSixtyFourBytes) {
    const fs::path p = path("content.txt");
    writeFile(p, "abc");
    struct Guarded {
        char text[64];
        char guard[8];
    } g{};
    std::memset(g.guard, 'G', sizeof g.guard);
    const std::string prefix(40, 'p');
    std::memcpy(g.text, prefix.data(), prefix.size());
    MD5_CTX ctx;
    ASSERT_EQ(ctx.digestPath(g.text, p.wstring().c_str()), 0);
    // 40 + 32 digits do not fit 64 bytes: the digits are cut at the field.
    EXPECT_EQ(std::string(g.text), prefix + std::string("900150983cd24fb0d6963f7d28e17f72").substr(0, 23));
    EXPECT_EQ(std::string(g.guard, 8), "GGGGGGGG");
}

TEST_F(Md5FileTest, FileLargerThanFourGiB) {
    const fs::path p = path("big.bin");
    const std::string tail = "past the 4 GiB mark\n";
    writeSparseFile(p, 4294967296ull + tail.size(), tail);
    ASSERT_EQ(fs::file_size(p), 4294967296ull + tail.size());
    // md5sum of 4 GiB of zero bytes followed by the tail.
    EXPECT_EQ(checkFileMd5(p.wstring().c_str(), "d2e1f59aa165e25958c54afdc5820132"), 0);
}
