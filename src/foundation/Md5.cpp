#include "foundation/Md5.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <strings.h>

#include "platform/file.h"

namespace {

constexpr uint32_t kInitialState[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};

// Appends within kMd5TextCapacity bytes, terminator included: a text that
// does not fit is cut at the field's end rather than written past it, and a
// field without a terminator inside it is left alone.
void appendBounded(char* out, const char* text) {
    const std::size_t used = strnlen(out, kMd5TextCapacity);
    if (used >= kMd5TextCapacity) return;
    const std::size_t n = std::min(std::strlen(text), kMd5TextCapacity - 1 - used);
    std::memcpy(out + used, text, n);
    out[used + n] = '\0';
}

// Reads until `size` bytes are in or the file ends: the whole-request
// semantics of a synchronous read of a disk file. -1 on error.
int64_t readFully(platform::File& file, unsigned char* buffer, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const int64_t n = file.read(buffer + done, size - done);
        if (n < 0) return -1;
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<int64_t>(done);
}

}  // namespace

MD5_CTX::MD5_CTX() { MD5Init(); }

MD5_CTX::~MD5_CTX() = default;

void MD5_CTX::resetFields() {
    std::memcpy(state, kInitialState, sizeof state);
    count[0] = count[1] = 0;
    std::memset(buffer, 0, sizeof buffer);
    std::memset(padding, 0, sizeof padding);
    padding[0] = 0x80;
}

void MD5_CTX::MD5Init() {
    resetFields();
    m_digest.reset();
}

void MD5_CTX::MD5Update(const unsigned char* input, std::size_t inputLen) {
    if (inputLen == 0) return;
    const uint64_t before = (static_cast<uint64_t>(count[1]) << 32 | count[0]) >> 3;
    const uint64_t bits = ((before + inputLen) << 3);
    count[0] = static_cast<uint32_t>(bits);
    count[1] = static_cast<uint32_t>(bits >> 32);
    const std::size_t start = static_cast<std::size_t>(before % 64);
    if (start + inputLen < 64) {
        std::memcpy(buffer + start, input, inputLen);
    } else {
        const std::size_t rest = static_cast<std::size_t>((before + inputLen) % 64);
        std::memcpy(buffer, input + inputLen - rest, rest);
    }
    m_digest.update(input, inputLen);
}

void MD5_CTX::MD5Final(unsigned char digest[16]) {
    m_digest.finish(digest);
    resetFields();
}

int32_t MD5_CTX::digestFile(platform::File* file, char* out, const std::stop_token& stop) {
    if (file == nullptr || !file->isOpen()) return kMd5NoHandle;
    uint64_t size = 0;
    if (!file->size(size)) return kMd5SizeFailed;
    if (size == 0) return kMd5EmptyFile;

    const uint64_t pieces = (size + kMd5ChunkSize - 1) / kMd5ChunkSize;
    const uint64_t lastPiece = size - (pieces - 1) * kMd5ChunkSize;
    std::unique_ptr<unsigned char[]> data(new (std::nothrow) unsigned char[kMd5ChunkSize + 1]);
    // Without memory or a hashing context no digest can be trusted; report it
    // as the read failure it amounts to rather than hand out a wrong digest.
    if (!data || !m_digest.valid()) return kMd5ReadFailed;

    MD5Init();
    bool readFailed = false;
    bool stopped = false;
    for (uint64_t i = 0; i < pieces; ++i) {
        if (stop.stop_requested()) {
            stopped = true;
            break;
        }
        const std::size_t want = static_cast<std::size_t>(i + 1 == pieces ? lastPiece : kMd5ChunkSize);
        // The buffer is all zeros but for the piece just read. The read
        // overwrites its first `want` bytes, so clearing those beforehand
        // would only cost time; a read that comes back short is not used.
        std::memset(data.get() + want, 0, kMd5ChunkSize + 1 - want);
        const int64_t got = readFully(*file, data.get(), want);
        if (got < 0) {
            readFailed = true;
            break;
        }
        if (static_cast<std::size_t>(got) < want) break;
        MD5Update(data.get(), want);
    }
    unsigned char digest[16];
    MD5Final(digest);
    if (stopped) return kMd5Stopped;
    if (readFailed) return kMd5ReadFailed;

    char text[33];
    for (int i = 0; i < 16; ++i) std::snprintf(text + 2 * i, 3, "%02x", digest[i]);
    if (out != nullptr) appendBounded(out, text);
    return kMd5Ok;
}

int32_t MD5_CTX::digestPath(char* out, const wchar_t* path, const std::stop_token& stop) {
    if (path == nullptr) return kMd5NoPath;
    platform::File file;
    if (!file.open(path, platform::File::Access::Read, platform::File::Disposition::OpenExisting)) {
        return kMd5OpenFailed;
    }
    return digestFile(&file, out, stop);
}

int32_t checkFileMd5(const wchar_t* path, const char* expectedMd5) {
    if (path == nullptr || !platform::pathExists(path)) return kMd5FileMissing;
    MD5_CTX ctx;
    char text[kMd5TextCapacity] = {};
    const int32_t rc = ctx.digestPath(text, path);
    if (rc != kMd5Ok) return rc;
    if (expectedMd5 == nullptr || strcasecmp(text, expectedMd5) != 0) return kMd5Mismatch;
    return kMd5Ok;
}

int32_t getFileMd5(const wchar_t* path, char* out, const std::stop_token& stop) {
    if (out == nullptr) return kMd5NoBuffer;
    MD5_CTX ctx;
    return ctx.digestPath(out, path, stop);
}
