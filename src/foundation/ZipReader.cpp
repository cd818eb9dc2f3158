#include "foundation/ZipReader.h"

#include <unzip.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/path.h"
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

long ZCALLBACK memorySeek(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
    auto* s = static_cast<MemoryStream*>(stream);
    // Relative seeks may go backwards: the reader passes a negative offset
    // through the unsigned parameter.
    int64_t target = 0;
    switch (origin) {
        case ZLIB_FILEFUNC_SEEK_SET:
            if (offset > s->size) return -1;
            s->pos = offset;
            return 0;
        case ZLIB_FILEFUNC_SEEK_CUR: target = static_cast<int64_t>(s->pos); break;
        case ZLIB_FILEFUNC_SEEK_END: target = static_cast<int64_t>(s->size); break;
        default: return -1;
    }
    const int64_t delta = static_cast<int64_t>(offset);
    if (delta == INT64_MIN) return -1;
    // A position outside the archive (from a damaged offset) is refused
    // like a failed fseek.
    if (delta > 0 ? delta > static_cast<int64_t>(s->size) - target : -delta > target) return -1;
    s->pos = static_cast<uint64_t>(target + delta);
    return 0;
}

int ZCALLBACK memoryClose(voidpf, voidpf) { return 0; }
int ZCALLBACK memoryError(voidpf, voidpf) { return 0; }

// The archive file: a buffered stream that is not inherited by programs we
// start while it is open.
voidpf ZCALLBACK fileOpen(voidpf, const void* path, int mode) {
    if (path == nullptr || (mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ) return nullptr;
    return std::fopen(static_cast<const char*>(path), "rbe");
}

uLong ZCALLBACK fileRead(voidpf, voidpf stream, void* buf, uLong size) {
    return static_cast<uLong>(std::fread(buf, 1, size, static_cast<FILE*>(stream)));
}

ZPOS64_T ZCALLBACK fileTell(voidpf, voidpf stream) {
    const off_t pos = ftello(static_cast<FILE*>(stream));
    return pos < 0 ? static_cast<ZPOS64_T>(-1) : static_cast<ZPOS64_T>(pos);
}

long ZCALLBACK fileSeek(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
    int whence = SEEK_SET;
    switch (origin) {
        case ZLIB_FILEFUNC_SEEK_SET: whence = SEEK_SET; break;
        case ZLIB_FILEFUNC_SEEK_CUR: whence = SEEK_CUR; break;
        case ZLIB_FILEFUNC_SEEK_END: whence = SEEK_END; break;
        default: return -1;
    }
    // Relative seeks may go backwards: the reader passes a negative offset
    // through the unsigned parameter.
    if (whence == SEEK_SET && offset > static_cast<ZPOS64_T>(INT64_MAX)) return -1;
    return fseeko(static_cast<FILE*>(stream), static_cast<off_t>(offset), whence) == 0 ? 0 : -1;
}

int ZCALLBACK fileClose(voidpf, voidpf stream) { return std::fclose(static_cast<FILE*>(stream)); }
int ZCALLBACK fileError(voidpf, voidpf stream) { return std::ferror(static_cast<FILE*>(stream)); }

unzFile asUnz(void* p) { return static_cast<unzFile>(p); }

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
    zlib_filefunc64_def funcs{};
    funcs.zopen64_file = fileOpen;
    funcs.zread_file = fileRead;
    funcs.zwrite_file = memoryWrite;
    funcs.ztell64_file = fileTell;
    funcs.zseek64_file = fileSeek;
    funcs.zclose_file = fileClose;
    funcs.zerror_file = fileError;
    const std::string systemPath = platform::toSystemPath(path);
    if (openWith(systemPath.c_str(), &funcs)) return true;
    FILE* f = std::fopen(systemPath.c_str(), "rbe");
    if (f == nullptr) return false;
    std::vector<unsigned char> tail;
    uint64_t tailStart = 0;
    if (fseeko(f, 0, SEEK_END) == 0) {
        const off_t size = ftello(f);
        if (size > 0) {
            const std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(static_cast<uint64_t>(size), kMaxEndRecord));
            tailStart = static_cast<uint64_t>(size) - n;
            tail.resize(n);
            if (fseeko(f, static_cast<off_t>(tailStart), SEEK_SET) != 0 || std::fread(tail.data(), 1, n, f) != n) {
                tail.clear();
            }
        }
    }
    std::fclose(f);
    m_emptyArchive = isEmptyArchive(tail.data(), tail.size(), tailStart);
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
    m_emptyArchive = false;
}

bool ZipReader::readDirectory(std::vector<Member>& out) {
    out.clear();
    if (m_emptyArchive) return true;
    if (m_unz == nullptr) return false;
    closeMember();
    unzFile unz = asUnz(m_unz);
    // Both lengths are 16-bit fields in the archive, so these buffers hold any
    // stored name and extra field whole.
    m_nameBuffer.resize(65536);
    m_extraBuffer.resize(65536);
    // An archive without members has nothing where the first entry would be.
    unz_global_info64 global{};
    if (unzGetGlobalInfo64(unz, &global) != UNZ_OK) return false;
    if (global.number_entry == 0) return true;
    int rc = unzGoToFirstFile(unz);
    for (uint64_t index = 0; rc == UNZ_OK; ++index) {
        unz_file_info64 info{};
        unz64_file_pos pos{};
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
    unzFile unz = asUnz(m_unz);
    if (unzGoToFilePos64(unz, &pos) != UNZ_OK) return false;
    if (unzOpenCurrentFile(unz) != UNZ_OK) return false;
    m_memberOpen = true;
    return true;
}

int64_t ZipReader::readMember(void* buffer, std::size_t size) {
    if (!m_memberOpen) return -1;
    const unsigned chunk = static_cast<unsigned>(std::min<std::size_t>(size, 1u << 30));
    const int n = unzReadCurrentFile(asUnz(m_unz), buffer, chunk);
    return n < 0 ? -1 : n;
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
