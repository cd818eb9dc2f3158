// The signed statement beside a launcher package: the table of statements a
// program with update keys meets, and the pieces mkpackage relies on.
#include "foundation/PackageStatement.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/digest.h"

namespace {

constexpr const char* kSha = "2b40125bd8706603d3f31eb803068b2e92de3d4b4c43bc2171db533a912ee5e8";
constexpr const char* kOtherSha = "2b40125bd8706603d3f31eb803068b2e92de3d4b4c43bc2171db533a912ee5e9";
constexpr const char* kSignedAt = "2026-03-04T05:06:07Z";

struct KeyPair {
    UpdateKey pub{};
    UpdateSecretKey secret{};
};

KeyPair newKey() {
    KeyPair k;
    EXPECT_TRUE(makeUpdateKeyPair(k.pub, k.secret));
    return k;
}

class PackageStatementTest : public ::testing::Test {
protected:
    KeyPair first = newKey();
    KeyPair second = newKey();
    std::string good = signPackageStatement("2.0.0.0", 338, kSha, kSignedAt, first.secret);
    PackageFacts facts{"2.0.0.0", 338, kSha, ""};
};

TEST_F(PackageStatementTest, SignedStatementHasTheDocumentedLines) {
    const std::string key = toBase64(first.pub.data(), first.pub.size());
    const std::string head = std::string("gamelauncher package statement 1\n") + "version: 2.0.0.0\n" +
                             "size: 338\n" + "sha256: " + kSha + "\n" + "signed: " + kSignedAt + "\n" +
                             "key: " + key + "\n" + "signature: ";
    ASSERT_EQ(good.substr(0, head.size()), head);
    EXPECT_EQ(good.size(), head.size() + 88 + 1);  // 64 bytes in base64, then "\n"
    EXPECT_EQ(good.back(), '\n');
    PackageStatement parsed;
    ASSERT_EQ(parsePackageStatement(good, parsed), StatementCheck::Ok);
    EXPECT_EQ(parsed.version, "2.0.0.0");
    EXPECT_EQ(parsed.size, 338u);
    EXPECT_EQ(parsed.sha256, kSha);
    EXPECT_EQ(parsed.signedAt, kSignedAt);
    EXPECT_EQ(parsed.key, first.pub);
    EXPECT_EQ(parsed.signedPart, good.substr(0, head.size() - std::string("signature: ").size()));
}

TEST_F(PackageStatementTest, TableOfStatements) {
    std::string badSignature = good;
    badSignature[badSignature.size() - 10] = badSignature[badSignature.size() - 10] == 'A' ? 'B' : 'A';
    const std::string bySecond = signPackageStatement("2.0.0.0", 338, kSha, kSignedAt, second.secret);
    std::string notText = good;
    notText[40] = '\0';
    std::string highByte = good;
    highByte[20] = static_cast<char>(0xc3);
    std::string carriageReturn = good;
    carriageReturn.insert(carriageReturn.size() - 1, "\r");
    const std::string oversized = good + std::string(kStatementMaxBytes + 1 - good.size(), 'x');
    const std::string trailing = good + "extra: 1\n";

    struct Case {
        const char* name;
        std::string text;
        std::vector<UpdateKey> keys;
        PackageFacts facts;
        StatementCheck expected;
    };
    const PackageFacts f = facts;
    auto with = [&](auto change) {
        PackageFacts changed = f;
        change(changed);
        return changed;
    };
    const std::vector<Case> cases = {
        {"good", good, {first.pub}, f, StatementCheck::Ok},
        {"good, second key also trusted", good, {second.pub, first.pub}, f, StatementCheck::Ok},
        {"bad signature", badSignature, {first.pub}, f, StatementCheck::BadSignature},
        {"unknown key", bySecond, {first.pub}, f, StatementCheck::UnknownKey},
        {"no key trusted", good, {}, f, StatementCheck::UnknownKey},
        {"second key", bySecond, {first.pub, second.pub}, f, StatementCheck::Ok},
        {"other version", good, {first.pub}, with([](PackageFacts& x) { x.version = "2.0.0.1"; }),
         StatementCheck::OtherVersion},
        {"version is exact", good, {first.pub}, with([](PackageFacts& x) { x.version = "2.0.0.0 "; }),
         StatementCheck::OtherVersion},
        {"other size", good, {first.pub}, with([](PackageFacts& x) { x.size = 339; }), StatementCheck::OtherSize},
        {"other sha256", good, {first.pub}, with([](PackageFacts& x) { x.sha256 = kOtherSha; }),
         StatementCheck::OtherDigest},
        {"older than installed", good, {first.pub},
         with([](PackageFacts& x) { x.installedSignedAt = "2026-03-04T05:06:08Z"; }), StatementCheck::Older},
        {"as old as installed", good, {first.pub}, with([](PackageFacts& x) { x.installedSignedAt = kSignedAt; }),
         StatementCheck::Ok},
        {"newer than installed", good, {first.pub},
         with([](PackageFacts& x) { x.installedSignedAt = "2025-12-31T23:59:59Z"; }), StatementCheck::Ok},
        {"truncated", good.substr(0, good.size() - 1), {first.pub}, f, StatementCheck::Malformed},
        {"empty", "", {first.pub}, f, StatementCheck::Malformed},
        {"trailing line", trailing, {first.pub}, f, StatementCheck::Malformed},
        {"oversized", oversized, {first.pub}, f, StatementCheck::TooLong},
        {"not text: NUL", notText, {first.pub}, f, StatementCheck::NotText},
        {"not text: high byte", highByte, {first.pub}, f, StatementCheck::NotText},
        {"not text: CR", carriageReturn, {first.pub}, f, StatementCheck::NotText},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(checkPackageStatement(c.text, c.keys, c.facts), c.expected)
            << c.name << ": got " << statementCheckText(checkPackageStatement(c.text, c.keys, c.facts));
    }
}

// Whatever the signed lines say, changing one byte of them breaks the
// statement: it no longer parses, or its signature fails.
TEST_F(PackageStatementTest, EveryChangedByteOfTheSignedPartIsRefused) {
    PackageStatement parsed;
    ASSERT_EQ(parsePackageStatement(good, parsed), StatementCheck::Ok);
    const std::size_t signedBytes = parsed.signedPart.size();
    for (std::size_t at = 0; at < signedBytes; ++at) {
        std::string changed = good;
        changed[at] = changed[at] == '1' ? '2' : '1';
        const StatementCheck got = checkPackageStatement(changed, {first.pub}, facts);
        EXPECT_TRUE(got == StatementCheck::Malformed || got == StatementCheck::BadSignature ||
                    got == StatementCheck::UnknownKey)
            << "byte " << at << ": " << statementCheckText(got);
    }
}

TEST_F(PackageStatementTest, EveryTruncationIsMalformed) {
    for (std::size_t length = 0; length < good.size(); ++length) {
        EXPECT_EQ(checkPackageStatement(good.substr(0, length), {first.pub}, facts), StatementCheck::Malformed)
            << length;
    }
}

TEST_F(PackageStatementTest, FieldsOutOfFormAreNotSigned) {
    const struct {
        const char* version;
        const char* sha;
        const char* at;
    } cases[] = {
        {"", kSha, kSignedAt},                                  // no version
        {"12345678901234567890123456789012", kSha, kSignedAt},  // 32 bytes
        {"2.0\n", kSha, kSignedAt},                             // a line end
        {"2.0.0.0", "ABCD", kSignedAt},                         // not a digest
        {"2.0.0.0", "2B40125BD8706603D3F31EB803068B2E92DE3D4B4C43BC2171DB533A912EE5E8", kSignedAt},
        {"2.0.0.0", kSha, "2026-02-30T00:00:00Z"},  // no such day
        {"2.0.0.0", kSha, "2026-03-04 05:06:07Z"},
        {"2.0.0.0", kSha, "2026-03-04T24:00:00Z"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(signPackageStatement(c.version, 1, c.sha, c.at, first.secret), "") << c.version << " " << c.at;
    }
}

TEST(PackageStatementKeys, KeyListsAndSecretKeys) {
    KeyPair a = newKey();
    KeyPair b = newKey();
    const std::string ka = toBase64(a.pub.data(), a.pub.size());
    const std::string kb = toBase64(b.pub.data(), b.pub.size());
    std::vector<UpdateKey> keys;
    EXPECT_TRUE(parseUpdateKeys(ka + ";" + kb, keys));
    EXPECT_EQ(keys, (std::vector<UpdateKey>{a.pub, b.pub}));
    keys.clear();
    EXPECT_TRUE(parseUpdateKeys(" " + ka + "\n", keys));
    EXPECT_EQ(keys.size(), 1u);
    keys.clear();
    EXPECT_TRUE(parseUpdateKeys("", keys));
    EXPECT_TRUE(keys.empty());
    for (const std::string& bad : {ka.substr(1), ka + "A", ka.substr(0, 42) + "B=", std::string(44, '!')}) {
        keys.clear();
        EXPECT_FALSE(parseUpdateKeys(bad, keys)) << bad;
        EXPECT_TRUE(keys.empty()) << bad;
    }

    UpdateSecretKey read{};
    const std::string file = toBase64(a.secret.data(), a.secret.size()) + "\n";
    ASSERT_TRUE(parseSecretKey(file, read));
    EXPECT_EQ(read, a.secret);
    // A secret half with another key's public half would sign with a key
    // that the statement does not name.
    UpdateSecretKey mixed = a.secret;
    std::copy(b.pub.begin(), b.pub.end(), mixed.begin() + 32);
    EXPECT_FALSE(parseSecretKey(toBase64(mixed.data(), mixed.size()), read));
    EXPECT_FALSE(parseSecretKey(ka, read));
}

TEST(PackageStatementTime, FixedFormInUtc) {
    EXPECT_EQ(statementTime(0), "1970-01-01T00:00:00Z");
    EXPECT_EQ(statementTime(951782400), "2000-02-29T00:00:00Z");
    EXPECT_EQ(statementTime(1798761599), "2026-12-31T23:59:59Z");
}

}  // namespace

// The package's SHA-256 as the program computes it: the standard's own
// examples, and a file longer than several read pieces digested the same as
// its bytes at once.
TEST(PackageStatementDigest, FileDigestsAreSha256) {
    const std::filesystem::path path = std::filesystem::path(::testing::TempDir()) / "statement-digest.bin";
    const auto digestOf = [&](const std::string& bytes) {
        {
            std::ofstream out(path, std::ios::binary | std::ios::trunc);
            out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        }
        std::string hex;
        uint64_t size = 0;
        EXPECT_TRUE(sha256File(path.wstring(), hex, size));
        EXPECT_EQ(size, bytes.size());
        return hex;
    };
    EXPECT_EQ(digestOf(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(digestOf("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(digestOf(std::string(1000000, 'a')), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");

    std::string large((3u << 20) + 5, '\0');
    for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>((i * 131) >> 3);
    platform::Sha256Digest whole;
    whole.update(large.data(), large.size());
    unsigned char bytes[32];
    ASSERT_TRUE(whole.finish(bytes));
    std::string expected;
    for (const unsigned char b : bytes) {
        static constexpr char kDigits[] = "0123456789abcdef";
        expected += kDigits[b >> 4];
        expected += kDigits[b & 15];
    }
    EXPECT_EQ(digestOf(large), expected);

    std::string hex;
    uint64_t size = 0;
    std::filesystem::remove(path);
    EXPECT_FALSE(sha256File(path.wstring(), hex, size));
}
