// Reads ZIP archives, from a file or from bytes held in memory, through
// minizip's unz* reader (zlib inflates). The archive layout is taken as the
// published ZIP format lays it down; stored and deflated members can be read.
//
// One reader is used by one thread at a time; separate readers are
// independent. Nothing here logs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class ZipReader {
public:
    // Member names are held to this many wide characters (the Windows path
    // field less its terminator); a longer stored name is cut there.
    static constexpr std::size_t kMaxNameChars = 259;

    struct Member {
        std::wstring name;        // stored name, UTF-8 decoded, cut at kMaxNameChars
        std::string rawName;      // stored name as it is in the directory
        uint16_t versionMadeBy = 0;
        uint16_t flags = 0;       // general purpose bits; bit 0 = encrypted
        uint16_t method = 0;      // 0 stored, 8 deflated
        uint32_t dosDateTime = 0;  // DOS date in the high half, time in the low
        uint32_t externalAttributes = 0;
        uint64_t uncompressedSize = 0;
        std::string extra;        // the central directory's extra field
        uint64_t directoryOffset = 0;  // where to find it again
        uint64_t index = 0;
    };

    ZipReader() = default;
    ~ZipReader();
    ZipReader(const ZipReader&) = delete;
    ZipReader& operator=(const ZipReader&) = delete;

    // Opens the archive and reads its end-of-directory record. False for a
    // missing or unreadable file and for anything that is not a ZIP archive.
    bool openFile(const std::wstring& path);
    // The same over `size` bytes at `data`, which must stay valid and
    // unchanged until close().
    bool openMemory(const void* data, std::size_t size);
    void close();
    bool isOpen() const { return m_unz != nullptr || m_emptyArchive; }

    // Every member in central-directory order. False when the directory is
    // damaged (an entry cannot be read) or the reader is not open.
    bool readDirectory(std::vector<Member>& out);

    // Starts reading the data of `member`. False for an encrypted member, a
    // method other than stored or deflated, or a damaged local header.
    bool openMember(const Member& member);
    // Reads up to `size` bytes of the open member: the count, 0 at its end,
    // -1 when reading or inflating fails, or as soon as the data would go
    // past the member's declared uncompressed size (callers judge the room
    // they need by that size, so no member may take more).
    int64_t readMember(void* buffer, std::size_t size);
    // Ends reading the member. The CRC is not judged: the archive as a whole
    // is checked by its digest before anything reads it.
    void closeMember();

    // Reads the whole member named `name` (compared byte for byte with the
    // stored name; "\" and "/" are taken as the same) into `out`, up to
    // `maxSize` bytes. False when there is no such member, it is larger, or
    // it cannot be read.
    bool readWhole(const std::string& name, std::string& out, std::size_t maxSize = 64u << 20);

private:
    bool openWith(const void* path, void* fileFuncs);

    void* m_unz = nullptr;      // unzFile
    void* m_memory = nullptr;   // MemoryStream of openMemory
    void* m_file = nullptr;     // FileStream of openFile
    void* m_member = nullptr;   // MemberStream of the open member
    bool m_memberOpen = false;
    bool m_emptyArchive = false;  // well formed, no members: minizip will not open it
    std::vector<char> m_nameBuffer;
    std::vector<char> m_extraBuffer;
};
