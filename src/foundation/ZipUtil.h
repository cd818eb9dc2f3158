// Unpacking ZIP archives into a folder: the launcher package over the
// installed launcher, and archives held in memory.
//
// Stateless: any thread may call, but two extractions into the same folder at
// once are the callers' business. Nothing here logs; callers log the code.
// An extraction blocks for as long as the writing takes.
#pragma once

#include <cstddef>
#include <cstdint>

// Result codes of the extraction.
inline constexpr int32_t kZipOk = 0;
// The archive could not be opened (missing, not a ZIP archive, damaged
// directory), or a member would land outside the destination.
inline constexpr int32_t kZipOpenFailed = 9999;
// A target that already existed could neither be made writable nor removed.
inline constexpr int32_t kZipTargetLocked = 8888;
// A target file could not be created.
inline constexpr int32_t kZipCreateFailed = 512;
// Reading, inflating or writing a member failed, or its method is neither
// stored nor deflated (or it is encrypted).
inline constexpr int32_t kZipWriteFailed = 1024;
// The members' declared sizes, with a margin, exceed the free space of the
// destination's file system: nothing at all is written. The last error is
// then the system's "disk full".
inline constexpr int32_t kZipNoSpace = 2048;

// Windows file attribute bits as the archive's external attributes map to them.
inline constexpr uint32_t kFileAttributeReadonly = 0x01;
inline constexpr uint32_t kFileAttributeHidden = 0x02;
inline constexpr uint32_t kFileAttributeSystem = 0x04;
inline constexpr uint32_t kFileAttributeDirectory = 0x10;
inline constexpr uint32_t kFileAttributeArchive = 0x20;
inline constexpr uint32_t kFileAttributeNormal = 0x80;

// Member data are written in pieces of this size.
inline constexpr std::size_t kZipWriteChunk = 16384;

// The attributes a member with these external attributes is extracted with.
uint32_t ZipMemberAttributes(uint32_t externalAttributes);

class ZipUtil {
public:
    // Writes every member of the archive at `zipPath` below `localPath`
    // (with or without a trailing separator), creating the members' folders
    // and replacing files already there, read-only ones included; no file
    // is left writable by group or others. Returns 0, or stops at the first
    // member that fails with 8888, 512 or 1024 (1024 also for a member whose
    // data go past its declared size); files written before it stay. 9999
    // when the archive cannot be opened or any member would land outside
    // `localPath` (a ".." level, an absolute or UNC name, a drive letter) or
    // name another file than it says on some system (an alternate data
    // stream "a:s", a device name such as NUL or COM1.txt, a level ending in
    // a dot or a space), 2048 when
    // the declared sizes with 1 MiB and 4 KiB a member to spare exceed the
    // free space there: then nothing at all is written.
    int32_t UnZipFile(const wchar_t* zipPath, const wchar_t* localPath);
    // The same for an archive of `size` bytes at `data`.
    int32_t UnZipMemory(const void* data, std::size_t size, const wchar_t* localPath);
    // Creates every missing folder of `path`.
    void CreateFolderPath(const wchar_t* path);
};

// The process-wide instance, created on first use and never released.
ZipUtil* getZipUtil();
