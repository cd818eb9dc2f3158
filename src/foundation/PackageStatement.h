// The signed statement that travels beside a launcher package as
// "<package>.sig": who made the package (an Ed25519 signature by the
// operator's key), which version it is, its exact size and SHA-256, and when
// it was signed. mkpackage writes it; the update workflow refuses a package
// it does not vouch for when the build has update keys.
//
// The statement is seven lines of printable ASCII, each ending in "\n", in
// this order and nothing else:
//
//   gamelauncher package statement 1
//   version: <1 to 31 bytes, printable, as in client/launcher.db>
//   size: <bytes, decimal, no leading zero>
//   sha256: <64 lower-case hexadecimal digits>
//   signed: <YYYY-MM-DDTHH:MM:SSZ, UTC>
//   key: <the signer's public key, 32 bytes in standard base64>
//   signature: <Ed25519 over every byte before this line, standard base64>
//
// The signature covers the first six lines as bytes, so any change to them,
// even of one space, fails it. Naming the key lets the check tell a key the
// build does not trust from a bad signature; trust comes only from the
// build's own list, never from the line.
//
// Everything here is a pure function of its inputs, callable from any
// thread; nothing logs. Ed25519 and base64 are libsodium's; SHA-256 is the
// system's (platform/digest.h), which uses the processor's SHA instructions
// where libsodium's portable code does not: four times faster here, and the
// package is hashed on every update.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

// A statement is a few hundred bytes; anything beyond this is refused
// unread, so a hostile server cannot make the check hold a large reply.
inline constexpr std::size_t kStatementMaxBytes = 4096;

using UpdateKey = std::array<unsigned char, 32>;
using UpdateSecretKey = std::array<unsigned char, 64>;

struct PackageStatement {
    std::string version;
    uint64_t size = 0;
    std::string sha256;    // 64 lower-case hex digits
    std::string signedAt;  // "YYYY-MM-DDTHH:MM:SSZ": compares as text
    UpdateKey key{};
    std::array<unsigned char, 64> signature{};
    std::string_view signedPart;  // the bytes the signature covers (inside the parsed text)
};

// Why a statement does not vouch for a package. The order is the order of
// the checks: the first that fails is the one reported.
enum class StatementCheck {
    Ok,
    TooLong,       // over kStatementMaxBytes
    NotText,       // a byte other than printable ASCII and "\n"
    Malformed,     // not the seven lines above (truncated, a field out of form)
    UnknownKey,    // signed by a key the build does not trust
    BadSignature,  // the signature does not verify with the key it names
    OtherVersion,  // names another version than the service announced
    OtherSize,     // names another size than the package has
    OtherDigest,   // names another SHA-256 than the package has
    Older,         // signed before the statement of the launcher installed now
};

// The words the log uses for each result.
const char* statementCheckText(StatementCheck check);

// Reads `text` into `out` without any key: Ok, TooLong, NotText or
// Malformed. `out.signedPart` points into `text`.
StatementCheck parsePackageStatement(std::string_view text, PackageStatement& out);

// What the package in hand is, to be matched against a statement.
struct PackageFacts {
    std::string_view version;  // announced by the update service
    uint64_t size = 0;
    std::string_view sha256;  // lower-case hex
    // The signing time of the statement the installed launcher came with;
    // empty when there is none, which lets any time pass.
    std::string_view installedSignedAt;
};

// The whole check, in the order of StatementCheck. An empty key list trusts
// nothing (UnknownKey).
StatementCheck checkPackageStatement(std::string_view text, const std::vector<UpdateKey>& keys,
                                     const PackageFacts& facts);

// The statement's text for the given facts, signed with `secret` (whose
// second half is its public key). Empty when a field is out of form.
std::string signPackageStatement(const std::string& version, uint64_t size, const std::string& sha256,
                                 const std::string& signedAt, const UpdateSecretKey& secret);

// A new Ed25519 key pair from the system's random source; false when the
// library cannot start.
bool makeUpdateKeyPair(UpdateKey& publicKey, UpdateSecretKey& secretKey);

// The secret key file mkpackage keygen writes: the 64-byte secret key in
// base64 on one line. False when `text` is not one, or its two halves do not
// belong together (a damaged file would sign with a key nobody trusts).
bool parseSecretKey(std::string_view text, UpdateSecretKey& out);

// Standard base64 with padding; decoding takes exactly the size asked for
// and nothing around it (no spaces, no line ends).
std::string toBase64(const unsigned char* bytes, std::size_t size);
bool fromBase64(std::string_view text, unsigned char* bytes, std::size_t size);

// The public keys in `text`, separated by ";", spaces or line ends. False
// when one is not a 32-byte key in base64 (`out` then holds the good ones).
bool parseUpdateKeys(std::string_view text, std::vector<UpdateKey>& out);

// SHA-256 and size of a file, read in 1 MiB pieces. False when it cannot be
// read or `stop` was raised before its end.
bool sha256File(const std::wstring& path, std::string& hexOut, uint64_t& sizeOut, const std::stop_token& stop = {});

// `when` (seconds since 1970, UTC) in the statement's form.
std::string statementTime(int64_t when);
