// Files and folders. Paths are the program's wide texts; "\" and "/" are
// both separators (see path.h).
//
// The read-only attribute is the owner-write bit: a file without it
// cannot be opened for writing through this layer even by root (the check is
// made here, since the kernel lets root write anyway), and
// setFileAttributesNormal gives it back. Every function sets the last error
// (errno) when it fails. Callable from any thread; a File is used by one
// thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/native_handle.h"

namespace platform {

class File {
public:
    enum class Access { Read, Write, ReadWrite };
    enum class Disposition {
        OpenExisting,  // fail when missing
        OpenAlways,    // create when missing, keep content
        CreateAlways,  // create when missing, truncate when present
    };

    File() = default;
    ~File();
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;

    // `append` makes every write land at the end of the file atomically
    // (O_APPEND), also against other processes appending to the same file.
    bool open(const std::wstring& path, Access access, Disposition disposition, bool append = false);
    bool isOpen() const { return m_handle.valid(); }
    void close();

    // Reads up to `size` bytes; returns the count (0 at the end) or -1.
    int64_t read(void* buffer, std::size_t size);
    // Writes all bytes unless an error stops it; `written` receives the count
    // that reached the file. True when all were written.
    bool write(const void* buffer, std::size_t size, std::size_t* written = nullptr);
    bool seek(uint64_t offset);
    // Cuts (or extends) the file to `size` bytes.
    bool truncate(uint64_t size);
    bool size(uint64_t& out) const;

private:
    UniqueHandle m_handle;
};

bool pathExists(const std::wstring& path);
bool isDirectory(const std::wstring& path);
// One level; false when it exists already or the parent is missing.
bool createDirectory(const std::wstring& path);
// Removes a file (a symbolic link itself, never its target).
bool deleteFile(const std::wstring& path);
// Renames the file `from` to `to` in one step, replacing a file at `to`:
// whoever looks at `to` sees the old file or the new one, never a part.
// Both must be on one file system (as in one folder); a folder at `to` is
// not replaced.
bool replaceFile(const std::wstring& from, const std::wstring& to);
// FILE_ATTRIBUTE_READONLY: clears the owner, group and other write bits.
// Neither this nor the next follows a symbolic link: on a link they fail
// with ELOOP and change nothing, so a link cannot lend its target our rights.
bool setFileReadOnly(const std::wstring& path);
// FILE_ATTRIBUTE_NORMAL: gives the owner-write bit back.
bool setFileAttributesNormal(const std::wstring& path);
bool fileSize(const std::wstring& path, uint64_t& out);

// FILETIME counts from 1601-01-01; these many seconds lie before 1970.
inline constexpr uint64_t kFileTimeEpochOffsetSeconds = 11644473600ull;

struct DirEntry {
    std::wstring name;
    bool isDirectory = false;
    // A regular file: neither a folder, nor a symbolic link (whatever it
    // points to), nor a FIFO, socket or device.
    bool isRegularFile = false;
    // Last-write time in whole seconds of the FILETIME epoch (1601).
    uint64_t lastWriteSeconds = 0;
};

// Lists the entries of `folder` whose names end with `suffix` (compared
// without letter case, as a wildcard "*<suffix>" is), in the
// system's listing order, "." and ".." left out. An empty suffix lists all.
// Entries describe themselves, never what a symbolic link points to.
bool listDirectory(const std::wstring& folder, const std::wstring& suffix, std::vector<DirEntry>& out);

}  // namespace platform
