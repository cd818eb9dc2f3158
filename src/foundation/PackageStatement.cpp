#include "foundation/PackageStatement.h"

#include <sodium.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>

#include "platform/digest.h"
#include "platform/file.h"

namespace {

constexpr std::string_view kHeadLine = "gamelauncher package statement 1\n";
constexpr std::size_t kMaxVersionBytes = 31;
constexpr std::size_t kSignatureBytes = 64;
constexpr std::size_t kReadPiece = 1 << 20;

bool sodiumReady() {
    // Safe to call from several threads and again after it succeeded.
    return sodium_init() >= 0;
}

bool isHex(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

bool isDigits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool validVersion(std::string_view v) {
    return !v.empty() && v.size() <= kMaxVersionBytes &&
           std::all_of(v.begin(), v.end(), [](char c) { return c >= 0x20 && c <= 0x7e; });
}

bool parseSize(std::string_view text, uint64_t& out) {
    if (!isDigits(text) || (text.size() > 1 && text[0] == '0') || text.size() > 20) return false;
    uint64_t value = 0;
    for (const char c : text) {
        const auto digit = static_cast<uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return false;
        value = value * 10 + digit;
    }
    out = value;
    return true;
}

int number(std::string_view text) {
    int value = 0;
    for (const char c : text) value = value * 10 + (c - '0');
    return value;
}

// "YYYY-MM-DDTHH:MM:SSZ" with a real calendar date: the fixed form is what
// makes two times compare as text.
bool validTime(std::string_view t) {
    if (t.size() != 20 || t[4] != '-' || t[7] != '-' || t[10] != 'T' || t[13] != ':' || t[16] != ':' || t[19] != 'Z')
        return false;
    for (const std::size_t at : {0u, 5u, 8u, 11u, 14u, 17u}) {
        if (!isDigits(t.substr(at, at == 0 ? 4 : 2))) return false;
    }
    using namespace std::chrono;
    const year_month_day date{year{number(t.substr(0, 4))}, month{static_cast<unsigned>(number(t.substr(5, 2)))},
                              day{static_cast<unsigned>(number(t.substr(8, 2)))}};
    return date.ok() && number(t.substr(11, 2)) < 24 && number(t.substr(14, 2)) < 60 && number(t.substr(17, 2)) < 60;
}

// Takes "name: value\n" off the front of `rest`.
bool takeLine(std::string_view& rest, std::string_view name, std::string_view& value) {
    if (rest.substr(0, name.size()) != name || rest.substr(name.size(), 2) != ": ") return false;
    rest.remove_prefix(name.size() + 2);
    const std::size_t end = rest.find('\n');
    if (end == std::string_view::npos) return false;
    value = rest.substr(0, end);
    rest.remove_prefix(end + 1);
    return true;
}

std::string composeSignedPart(const std::string& version, uint64_t size, const std::string& sha256,
                              const std::string& signedAt, const UpdateKey& key) {
    std::string out(kHeadLine);
    out += "version: " + version + "\n";
    out += "size: " + std::to_string(size) + "\n";
    out += "sha256: " + sha256 + "\n";
    out += "signed: " + signedAt + "\n";
    out += "key: " + toBase64(key.data(), key.size()) + "\n";
    return out;
}

}  // namespace

const char* statementCheckText(StatementCheck check) {
    switch (check) {
        case StatementCheck::Ok: return "ok";
        case StatementCheck::TooLong: return "too long";
        case StatementCheck::NotText: return "not text";
        case StatementCheck::Malformed: return "malformed";
        case StatementCheck::UnknownKey: return "unknown key";
        case StatementCheck::BadSignature: return "bad signature";
        case StatementCheck::OtherVersion: return "other version";
        case StatementCheck::OtherSize: return "other size";
        case StatementCheck::OtherDigest: return "other sha256";
        case StatementCheck::Older: return "older than installed";
    }
    return "?";
}

std::string toBase64(const unsigned char* bytes, std::size_t size) {
    if (!sodiumReady()) return {};
    std::string out(sodium_base64_encoded_len(size, sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(out.data(), out.size(), bytes, size, sodium_base64_VARIANT_ORIGINAL);
    out.pop_back();  // the terminator sodium writes
    return out;
}

bool fromBase64(std::string_view text, unsigned char* bytes, std::size_t size) {
    if (!sodiumReady() || text.size() != sodium_base64_encoded_len(size, sodium_base64_VARIANT_ORIGINAL) - 1)
        return false;
    std::size_t written = 0;
    const char* end = nullptr;
    return sodium_base642bin(bytes, size, text.data(), text.size(), nullptr, &written, &end,
                             sodium_base64_VARIANT_ORIGINAL) == 0 &&
           written == size && end == text.data() + text.size();
}

StatementCheck parsePackageStatement(std::string_view text, PackageStatement& out) {
    if (text.size() > kStatementMaxBytes) return StatementCheck::TooLong;
    for (const char c : text) {
        if (c != '\n' && (c < 0x20 || c > 0x7e)) return StatementCheck::NotText;
    }
    std::string_view rest = text;
    if (rest.substr(0, kHeadLine.size()) != kHeadLine) return StatementCheck::Malformed;
    rest.remove_prefix(kHeadLine.size());
    std::string_view version, size, sha256, signedAt, key, signature;
    if (!takeLine(rest, "version", version) || !takeLine(rest, "size", size) || !takeLine(rest, "sha256", sha256) ||
        !takeLine(rest, "signed", signedAt) || !takeLine(rest, "key", key)) {
        return StatementCheck::Malformed;
    }
    const std::size_t signedBytes = text.size() - rest.size();
    if (!takeLine(rest, "signature", signature) || !rest.empty()) return StatementCheck::Malformed;
    if (!validVersion(version) || !parseSize(size, out.size) || sha256.size() != 64 || !isHex(sha256) ||
        !validTime(signedAt) || !fromBase64(key, out.key.data(), out.key.size()) ||
        !fromBase64(signature, out.signature.data(), out.signature.size())) {
        return StatementCheck::Malformed;
    }
    out.version = version;
    out.sha256 = sha256;
    out.signedAt = signedAt;
    out.signedPart = text.substr(0, signedBytes);
    return StatementCheck::Ok;
}

StatementCheck checkPackageStatement(std::string_view text, const std::vector<UpdateKey>& keys,
                                     const PackageFacts& facts) {
    PackageStatement s;
    const StatementCheck parsed = parsePackageStatement(text, s);
    if (parsed != StatementCheck::Ok) return parsed;
    if (std::find(keys.begin(), keys.end(), s.key) == keys.end()) return StatementCheck::UnknownKey;
    if (!sodiumReady() ||
        crypto_sign_verify_detached(s.signature.data(), reinterpret_cast<const unsigned char*>(s.signedPart.data()),
                                    s.signedPart.size(), s.key.data()) != 0) {
        return StatementCheck::BadSignature;
    }
    if (s.version != facts.version) return StatementCheck::OtherVersion;
    if (s.size != facts.size) return StatementCheck::OtherSize;
    if (s.sha256 != facts.sha256) return StatementCheck::OtherDigest;
    if (!facts.installedSignedAt.empty() && s.signedAt < facts.installedSignedAt) return StatementCheck::Older;
    return StatementCheck::Ok;
}

std::string signPackageStatement(const std::string& version, uint64_t size, const std::string& sha256,
                                 const std::string& signedAt, const UpdateSecretKey& secret) {
    if (!sodiumReady() || !validVersion(version) || sha256.size() != 64 || !isHex(sha256) || !validTime(signedAt))
        return {};
    UpdateKey publicKey{};
    crypto_sign_ed25519_sk_to_pk(publicKey.data(), secret.data());
    std::string text = composeSignedPart(version, size, sha256, signedAt, publicKey);
    std::array<unsigned char, kSignatureBytes> signature{};
    if (crypto_sign_detached(signature.data(), nullptr, reinterpret_cast<const unsigned char*>(text.data()),
                             text.size(), secret.data()) != 0) {
        return {};
    }
    text += "signature: " + toBase64(signature.data(), signature.size()) + "\n";
    return text;
}

bool makeUpdateKeyPair(UpdateKey& publicKey, UpdateSecretKey& secretKey) {
    return sodiumReady() && crypto_sign_keypair(publicKey.data(), secretKey.data()) == 0;
}

bool parseSecretKey(std::string_view text, UpdateSecretKey& out) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
    UpdateSecretKey key{};
    if (!fromBase64(text, key.data(), key.size())) return false;
    unsigned char seed[crypto_sign_SEEDBYTES];
    UpdateKey publicKey{};
    UpdateSecretKey again{};
    crypto_sign_ed25519_sk_to_seed(seed, key.data());
    const bool ok = crypto_sign_seed_keypair(publicKey.data(), again.data(), seed) == 0 && again == key;
    sodium_memzero(seed, sizeof seed);
    sodium_memzero(again.data(), again.size());
    if (ok) out = key;
    sodium_memzero(key.data(), key.size());
    return ok;
}

bool parseUpdateKeys(std::string_view text, std::vector<UpdateKey>& out) {
    bool allGood = true;
    while (!text.empty()) {
        const std::size_t start = text.find_first_not_of("; \t\r\n");
        if (start == std::string_view::npos) break;
        text.remove_prefix(start);
        const std::size_t end = std::min(text.find_first_of("; \t\r\n"), text.size());
        UpdateKey key{};
        if (fromBase64(text.substr(0, end), key.data(), key.size())) {
            out.push_back(key);
        } else {
            allGood = false;
        }
        text.remove_prefix(end);
    }
    return allGood;
}

bool sha256File(const std::wstring& path, std::string& hexOut, uint64_t& sizeOut, const std::stop_token& stop) {
    if (!sodiumReady()) return false;
    platform::File file;
    if (!file.open(path, platform::File::Access::Read, platform::File::Disposition::OpenExisting)) return false;
    platform::Sha256Digest digest;
    if (!digest.valid()) return false;
    const auto buffer = std::make_unique<unsigned char[]>(kReadPiece);
    uint64_t total = 0;
    for (;;) {
        if (stop.stop_requested()) return false;
        const int64_t n = file.read(buffer.get(), kReadPiece);
        if (n < 0) return false;
        if (n == 0) break;
        digest.update(buffer.get(), static_cast<std::size_t>(n));
        total += static_cast<uint64_t>(n);
    }
    unsigned char bytes[crypto_hash_sha256_BYTES];
    if (!digest.finish(bytes)) return false;
    char hex[crypto_hash_sha256_BYTES * 2 + 1];
    sodium_bin2hex(hex, sizeof hex, bytes, sizeof bytes);
    hexOut.assign(hex, crypto_hash_sha256_BYTES * 2);
    sizeOut = total;
    return true;
}

std::string statementTime(int64_t when) {
    using namespace std::chrono;
    const sys_seconds at{seconds{when}};
    const sys_days day = floor<days>(at);
    const year_month_day date{day};
    const hh_mm_ss<seconds> time{at - day};
    char out[32];
    std::snprintf(out, sizeof out, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
    return out;
}
