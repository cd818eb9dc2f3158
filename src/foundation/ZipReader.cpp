#include "foundation/ZipReader.h"

#include <unzip.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "platform/file.h"
#include "platform/text.h"

namespace {

// Bytes in memory seen as a read-only file.
struct MemoryStream {
    const unsigned char* data = nullptr;
    uint64_t size = 0;
    uint64_t pos = 0;
};

voidpf ZCALLBACK memoryOpen(voidpf opaque, const void*, int mode) {
    if ((mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ) return nullptr;
    static_cast<MemoryStream*>(opaque)->pos = 0;
    return opaque;
}

uLong ZCALLBACK memoryRead(voidpf, voidpf stream, void* buf, uLong size) {
    auto* s = static_cast<MemoryStream*>(stream);
    if (s->pos >= s->size) return 0;
    const uint64_t n = std::min<uint64_t>(size, s->size - s->pos);
    std::memcpy(buf, s->data + s->pos, static_cast<std::size_t>(n));
    s->pos += n;
    return static_cast<uLong>(n);
}

uLong ZCALLBACK memoryWrite(voidpf, voidpf, const void*, uLong) { return 0; }

ZPOS64_T ZCALLBACK memoryTell(voidpf, voidpf stream) { return static_cast<MemoryStream*>(stream)->pos; }

// Both streams seek as files do: backwards relative seeks come as negative
// offsets through the unsigned parameter, and a position past the end is
// allowed (reads there find nothing), so that an archive in memory and the
// same bytes in a file are read alike.
bool seekTarget(uint64_t pos, uint64_t size, ZPOS64_T offset, int origin, uint64_t& out) {
    int64_t base = 0;
    switch (origin) {
        case ZLIB_FILEFUNC_SEEK_SET:
            if (offset > static_cast<ZPOS64_T>(INT64_MAX)) return false;
            out = offset;
            return true;
        case ZLIB_FILEFUNC_SEEK_CUR: base = static_cast<int64_t>(pos); break;
        case ZLIB_FILEFUNC_SEEK_END: base = static_cast<int64_t>(size); break;
        default: return false;
    }
    const int64_t delta = static_cast<int64_t>(offset);
    if (delta == INT64_MIN || (delta < 0 && -delta > base) || (delta > 0 && delta > INT64_MAX - base)) return false;
    out = static_cast<uint64_t>(base + delta);
    return true;
}

long ZCALLBACK memorySeek(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
    auto* s = static_cast<MemoryStream*>(stream);
    return seekTarget(s->pos, s->size, offset, origin, s->pos) ? 0 : -1;
}

int ZCALLBACK memoryClose(voidpf, voidpf) { return 0; }
int ZCALLBACK memoryError(voidpf, voidpf) { return 0; }

// The archive file, read through a window of its own. The reader seeks
// before every piece of member data and parses the directory a few bytes at
// a time; serving both from one buffer turns that into one system call per
// 64 KiB, where a stdio stream would drop its buffer at every seek.
struct FileStream {
    platform::File file;
    uint64_t size = 0;
    uint64_t pos = 0;      // where the reader is
    uint64_t filePos = 0;  // where the handle is
    std::vector<unsigned char> window;
    uint64_t windowStart = 0;
    std::size_t windowLength = 0;
    bool failed = false;

    bool readAt(uint64_t at, unsigned char* into, std::size_t want, std::size_t& got) {
        got = 0;
        if (at != filePos) {
            if (!file.seek(at)) return false;
            filePos = at;
        }
        while (got < want) {
            const int64_t n = file.read(into + got, want - got);
            if (n < 0) return false;
            if (n == 0) break;
            got += static_cast<std::size_t>(n);
            filePos += static_cast<uint64_t>(n);
        }
        return true;
    }
};

constexpr std::size_t kFileWindow = 65536;

voidpf ZCALLBACK fileOpen(voidpf opaque, const void*, int mode) {
    if ((mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ) return nullptr;
    return opaque;
}

uLong ZCALLBACK fileRead(voidpf, voidpf stream, void* buf, uLong size) {
    auto* s = static_cast<FileStream*>(stream);
    auto* out = static_cast<unsigned char*>(buf);
    std::size_t done = 0;
    while (done < size && s->pos < s->size) {
        const std::size_t left = size - done;
        if (s->pos >= s->windowStart && s->pos < s->windowStart + s->windowLength) {
            const std::size_t off = static_cast<std::size_t>(s->pos - s->windowStart);
            const std::size_t n = std::min(left, s->windowLength - off);
            std::memcpy(out + done, s->window.data() + off, n);
            done += n;
            s->pos += n;
            continue;
        }
        std::size_t got = 0;
        if (left >= kFileWindow) {
            if (!s->readAt(s->pos, out + done, left, got)) s->failed = true;
            done += got;
            s->pos += got;
            break;
        }
        if (!s->readAt(s->pos, s->window.data(), kFileWindow, got)) s->failed = true;
        s->windowStart = s->pos;
        s->windowLength = got;
        if (got == 0) break;
    }
    return static_cast<uLong>(done);
}

ZPOS64_T ZCALLBACK fileTell(voidpf, voidpf stream) { return static_cast<FileStream*>(stream)->pos; }

long ZCALLBACK fileSeek(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
    auto* s = static_cast<FileStream*>(stream);
    return seekTarget(s->pos, s->size, offset, origin, s->pos) ? 0 : -1;
}

int ZCALLBACK fileClose(voidpf, voidpf) { return 0; }
int ZCALLBACK fileError(voidpf, voidpf stream) { return static_cast<FileStream*>(stream)->failed ? 1 : 0; }

unzFile asUnz(void* p) { return static_cast<unzFile>(p); }

// The open member's data. minizip hands out the raw (still deflated) bytes
// and zlib inflates them here: minizip's own inflating stops quietly at the
// declared size, which would take a member that holds more for a whole one.
struct MemberStream {
    bool deflated = false;
    bool inflateReady = false;  // inflateInit2 done; reset for each member
    bool ended = false;         // the deflate stream's own end was met
    uint64_t left = 0;          // declared bytes not handed out yet
    z_stream z{};
    std::vector<unsigned char> input = std::vector<unsigned char>(65536);

    MemberStream() = default;
    MemberStream(const MemberStream&) = delete;
    MemberStream& operator=(const MemberStream&) = delete;
    ~MemberStream() {
        if (inflateReady) inflateEnd(&z);
    }
};

// Inflates into `out` until it is full or the stream ends; the count, or -1
// for damaged data and for data that end before the stream does.
int64_t inflateInto(unzFile unz, MemberStream& s, unsigned char* out, std::size_t want) {
    s.z.next_out = out;
    s.z.avail_out = static_cast<uInt>(want);
    while (s.z.avail_out > 0 && !s.ended) {
        if (s.z.avail_in == 0) {
            const int n = unzReadCurrentFile(unz, s.input.data(), static_cast<unsigned>(s.input.size()));
            if (n <= 0) return -1;
            s.z.next_in = s.input.data();
            s.z.avail_in = static_cast<uInt>(n);
        }
        const int rc = inflate(&s.z, Z_NO_FLUSH);
        if (rc == Z_STREAM_END) {
            s.ended = true;
        } else if (rc != Z_OK) {
            return -1;
        }
    }
    return static_cast<int64_t>(want - s.z.avail_out);
}

// minizip refuses an archive that has no members at all, though such an
// archive is well formed: nothing but an end-of-directory record with zero
// entries. `tail` is the end of the archive, `tailStart` its offset.
bool isEmptyArchive(const unsigned char* tail, std::size_t size, uint64_t tailStart) {
    constexpr std::size_t kRecord = 22;
    if (size < kRecord) return false;
    auto u16 = [&](std::size_t at) { return static_cast<unsigned>(tail[at] | tail[at + 1] << 8); };
    auto u32 = [&](std::size_t at) { return static_cast<uint64_t>(u16(at)) | static_cast<uint64_t>(u16(at + 2)) << 16; };
    for (std::size_t p = size - kRecord + 1; p-- > 0;) {
        if (tail[p] != 0x50 || tail[p + 1] != 0x4b || tail[p + 2] != 0x05 || tail[p + 3] != 0x06) continue;
        // The record ends the archive exactly with its comment.
        if (p + kRecord + u16(p + 20) != size) continue;
        return u16(p + 4) == 0 && u16(p + 6) == 0 && u16(p + 8) == 0 && u16(p + 10) == 0 && u32(p + 12) == 0 &&
               u32(p + 16) <= tailStart + p;
    }
    return false;
}

constexpr std::size_t kMaxEndRecord = 22 + 65535;

bool sameName(const std::string& stored, const std::string& wanted) {
    if (stored.size() != wanted.size()) return false;
    for (std::size_t i = 0; i < stored.size(); ++i) {
        const char a = stored[i] == '\\' ? '/' : stored[i];
        const char b = wanted[i] == '\\' ? '/' : wanted[i];
        if (a != b) return false;
    }
    return true;
}

}  // namespace

ZipReader::~ZipReader() { close(); }

bool ZipReader::openWith(const void* path, void* fileFuncs) {
    m_unz = unzOpen2_64(path, static_cast<zlib_filefunc64_def*>(fileFuncs));
    return m_unz != nullptr;
}

bool ZipReader::openFile(const std::wstring& path) {
    close();
    auto stream = std::make_unique<FileStream>();
    if (!stream->file.open(path, platform::File::Access::Read, platform::File::Disposition::OpenExisting) ||
        !stream->file.size(stream->size)) {
        return false;
    }
    stream->window.resize(kFileWindow);
    zlib_filefunc64_def funcs{};
    funcs.zopen64_file = fileOpen;
    funcs.zread_file = fileRead;
    funcs.zwrite_file = memoryWrite;
    funcs.ztell64_file = fileTell;
    funcs.zseek64_file = fileSeek;
    funcs.zclose_file = fileClose;
    funcs.zerror_file = fileError;
    funcs.opaque = stream.get();
    if (openWith("file", &funcs)) {
        m_file = stream.release();
        return true;
    }
    std::vector<unsigned char> tail(static_cast<std::size_t>(std::min<uint64_t>(stream->size, kMaxEndRecord)));
    const uint64_t tailStart = stream->size - tail.size();
    std::size_t got = 0;
    m_emptyArchive = stream->readAt(tailStart, tail.data(), tail.size(), got) && got == tail.size() &&
                     isEmptyArchive(tail.data(), tail.size(), tailStart);
    return m_emptyArchive;
}

bool ZipReader::openMemory(const void* data, std::size_t size) {
    close();
    if (data == nullptr && size != 0) return false;
    auto* stream = new (std::nothrow) MemoryStream;
    if (stream == nullptr) return false;
    stream->data = static_cast<const unsigned char*>(data);
    stream->size = size;
    m_memory = stream;
    zlib_filefunc64_def funcs{};
    funcs.zopen64_file = memoryOpen;
    funcs.zread_file = memoryRead;
    funcs.zwrite_file = memoryWrite;
    funcs.ztell64_file = memoryTell;
    funcs.zseek64_file = memorySeek;
    funcs.zclose_file = memoryClose;
    funcs.zerror_file = memoryError;
    funcs.opaque = stream;
    if (!openWith("memory", &funcs)) {
        const std::size_t n = std::min(size, kMaxEndRecord);
        const bool empty = isEmptyArchive(stream->data + (size - n), n, size - n);
        close();
        m_emptyArchive = empty;
        return empty;
    }
    return true;
}

void ZipReader::close() {
    if (m_unz != nullptr) {
        closeMember();
        unzClose(asUnz(m_unz));
        m_unz = nullptr;
    }
    delete static_cast<MemoryStream*>(m_memory);
    m_memory = nullptr;
    delete static_cast<FileStream*>(m_file);
    m_file = nullptr;
    delete static_cast<MemberStream*>(m_member);
    m_member = nullptr;
    m_emptyArchive = false;
}

bool ZipReader::readDirectory(std::vector<Member>& out) {
    out.clear();
    if (m_emptyArchive) return true;
    if (m_unz == nullptr) return false;
    closeMember();
    unzFile unz = asUnz(m_unz);
    int rc = UNZ_OK;
    // An archive without members has nothing where the first entry would be.
    unz_global_info64 global{};
    if (unzGetGlobalInfo64(unz, &global) != UNZ_OK) return false;
    if (global.number_entry == 0) return true;
    rc = unzGoToFirstFile(unz);
    for (uint64_t index = 0; rc == UNZ_OK; ++index) {
        unz_file_info64 info{};
        unz64_file_pos pos{};
        // The entry's own lengths first, then its name and extra field whole
        // (both lengths are 16-bit fields, so nothing is ever cut here).
        if (unzGetCurrentFileInfo64(unz, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK) return false;
        m_nameBuffer.resize(info.size_filename + 1);
        m_extraBuffer.resize(info.size_file_extra + 1);
        if (unzGetCurrentFileInfo64(unz, &info, m_nameBuffer.data(), static_cast<uLong>(m_nameBuffer.size()),
                                    m_extraBuffer.data(), static_cast<uLong>(m_extraBuffer.size()), nullptr,
                                    0) != UNZ_OK ||
            unzGetFilePos64(unz, &pos) != UNZ_OK) {
            return false;
        }
        Member m;
        m.rawName.assign(m_nameBuffer.data(), std::min<std::size_t>(info.size_filename, m_nameBuffer.size()));
        m.name = platform::utf8ToWide(m.rawName);
        if (m.name.size() > kMaxNameChars) m.name.resize(kMaxNameChars);
        m.versionMadeBy = static_cast<uint16_t>(info.version);
        m.flags = static_cast<uint16_t>(info.flag);
        m.method = static_cast<uint16_t>(info.compression_method);
        m.dosDateTime = static_cast<uint32_t>(info.dosDate);
        m.externalAttributes = static_cast<uint32_t>(info.external_fa);
        m.uncompressedSize = info.uncompressed_size;
        m.extra.assign(m_extraBuffer.data(), std::min<std::size_t>(info.size_file_extra, m_extraBuffer.size()));
        m.directoryOffset = pos.pos_in_zip_directory;
        m.index = pos.num_of_file;
        out.push_back(std::move(m));
        rc = unzGoToNextFile(unz);
    }
    return rc == UNZ_END_OF_LIST_OF_FILE;
}

bool ZipReader::openMember(const Member& member) {
    if (m_unz == nullptr) return false;
    closeMember();
    if ((member.flags & 1u) != 0 || (member.method != 0 && member.method != Z_DEFLATED)) return false;
    unz64_file_pos pos{};
    pos.pos_in_zip_directory = member.directoryOffset;
    pos.num_of_file = member.index;
    if (m_member == nullptr) m_member = new (std::nothrow) MemberStream;
    auto* s = static_cast<MemberStream*>(m_member);
    if (s == nullptr) return false;
    s->deflated = member.method == Z_DEFLATED;
    s->ended = false;
    s->left = member.uncompressedSize;
    if (s->deflated) {
        const int rc = s->inflateReady ? inflateReset(&s->z) : inflateInit2(&s->z, -MAX_WBITS);
        if (rc != Z_OK) return false;
        s->inflateReady = true;
        s->z.avail_in = 0;
    }
    unzFile unz = asUnz(m_unz);
    if (unzGoToFilePos64(unz, &pos) != UNZ_OK) return false;
    int method = 0;
    int level = 0;
    if (unzOpenCurrentFile2(unz, &method, &level, 1) != UNZ_OK) return false;
    m_memberOpen = true;
    return true;
}

int64_t ZipReader::readMember(void* buffer, std::size_t size) {
    if (!m_memberOpen) return -1;
    auto* s = static_cast<MemberStream*>(m_member);
    // One byte more than is left is asked for: that byte, if it comes,
    // shows that the member holds more than it declared.
    const uint64_t room = s->left == UINT64_MAX ? s->left : s->left + 1;
    const std::size_t want = static_cast<std::size_t>(std::min<uint64_t>({size, room, 1u << 30}));
    if (want == 0) return 0;
    int64_t n = 0;
    if (s->deflated) {
        n = inflateInto(asUnz(m_unz), *s, static_cast<unsigned char*>(buffer), want);
    } else {
        n = unzReadCurrentFile(asUnz(m_unz), buffer, static_cast<unsigned>(want));
    }
    if (n < 0 || static_cast<uint64_t>(n) > s->left) return -1;
    s->left -= static_cast<uint64_t>(n);
    return n;
}

void ZipReader::closeMember() {
    if (m_memberOpen) {
        unzCloseCurrentFile(asUnz(m_unz));
        m_memberOpen = false;
    }
}

bool ZipReader::readWhole(const std::string& name, std::string& out, std::size_t maxSize) {
    out.clear();
    std::vector<Member> members;
    if (!readDirectory(members)) return false;
    for (const Member& m : members) {
        if (!sameName(m.rawName, name)) continue;
        if (m.uncompressedSize > maxSize || !openMember(m)) return false;
        out.reserve(static_cast<std::size_t>(m.uncompressedSize));
        char chunk[16384];
        for (;;) {
            const int64_t n = readMember(chunk, sizeof chunk);
            if (n < 0) {
                closeMember();
                out.clear();
                return false;
            }
            if (n == 0) break;
            out.append(chunk, static_cast<std::size_t>(n));
        }
        closeMember();
        return true;
    }
    return false;
}
