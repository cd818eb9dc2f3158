// MD5 digests of files, as 32 lower-case hexadecimal digits.
//
// MD5_CTX keeps the classic RFC 1321 context layout but hashes through the
// system's digest (platform/digest.h). A context is used by one thread at a
// time; the free functions create their own and may be called from any
// thread. Nothing here logs: every failure is a result code for the caller to
// log.
//
// This header must not be combined with <openssl/md5.h>, which declares a
// type of the same name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stop_token>

#include "platform/digest.h"

namespace platform {
class File;
}

// Result codes (one space for all four operations).
inline constexpr int32_t kMd5Ok = 0;
inline constexpr int32_t kMd5NoHandle = -1;
inline constexpr int32_t kMd5SizeFailed = -2;
inline constexpr int32_t kMd5EmptyFile = -3;
inline constexpr int32_t kMd5ReadFailed = -4;
// The stop request came before the last piece: no digest.
inline constexpr int32_t kMd5Stopped = -5;
inline constexpr int32_t kMd5NoPath = 1;
inline constexpr int32_t kMd5OpenFailed = 2;
inline constexpr int32_t kMd5NoBuffer = 10;
inline constexpr int32_t kMd5FileMissing = 6666;
inline constexpr int32_t kMd5Mismatch = 7777;

// Files are read in pieces of this size; the read buffer has one byte more.
inline constexpr uint32_t kMd5ChunkSize = 524288;
// `out` buffers are appended to within this many bytes, terminator included.
inline constexpr std::size_t kMd5TextCapacity = 64;

class MD5_CTX {
public:
    MD5_CTX();
    virtual ~MD5_CTX();
    MD5_CTX(const MD5_CTX&) = delete;
    MD5_CTX& operator=(const MD5_CTX&) = delete;

    void MD5Init();
    void MD5Update(const unsigned char* input, std::size_t inputLen);
    // Writes the 16-byte digest, then clears and re-initialises the context
    // so that it can digest the next input.
    void MD5Final(unsigned char digest[16]);

    // Digests the open `file` from its current position in 524,288-byte
    // pieces and appends the digest text to the (empty) text in `out`.
    // Returns 0, -1 (no handle), -2 (size unknown), -3 (empty file) or
    // -4 (a read failed; `out` is left as it was). A read that ends early
    // without an error gives 0 and the digest of the bytes before it.
    // `stop` is looked at before each piece: once it is raised the digest
    // ends with -5 and `out` is left as it was, so a stop is noticed within
    // one piece however large the file.
    int32_t digestFile(platform::File* file, char* out, const std::stop_token& stop = {});
    // Opens `path` for reading and runs digestFile. Returns 1 for a null
    // path, 2 when the file cannot be opened (missing, a folder), else the
    // code of digestFile.
    int32_t digestPath(char* out, const wchar_t* path, const std::stop_token& stop = {});

    // The RFC 1321 layout. The running words live inside the system's digest,
    // so `state` shows the initial words set by MD5Init; `count` (bits, low
    // word first) and `buffer` (the bytes of the last, incomplete block) are
    // kept up to date.
    uint32_t state[4];
    uint32_t count[2];
    unsigned char buffer[64];
    unsigned char padding[64];

private:
    void resetFields();

    platform::Md5Digest m_digest;
};

// 0 when the digest of `path` equals `expectedMd5` (letter case ignored);
// 6666 when the path does not exist, 7777 when the digests differ, else the
// code of digestPath.
int32_t checkFileMd5(const wchar_t* path, const char* expectedMd5);
// Appends the digest text of `path` to the empty text in `out` (at least 33
// bytes). 10 for a null `out`, else the code of digestPath (-5 once `stop`
// is raised).
int32_t getFileMd5(const wchar_t* path, char* out, const std::stop_token& stop = {});
