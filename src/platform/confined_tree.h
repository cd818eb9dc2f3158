// Writing files below one destination folder without ever following a
// symbolic link found inside it. Archive extraction writes into folders that
// other programs (or a damaged earlier install) may have filled: a link there,
// at a target or at a folder on the way to one, would carry the write
// elsewhere. Every step is made relative to an open folder handle with
// O_NOFOLLOW, so a link is never traversed, even one that appears meanwhile.
//
// Relative paths use "\" and "/" alike; empty and "." levels are skipped and a
// ".." level makes the operation fail. One tree is used by one thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/native_handle.h"

namespace platform {

// The permission bits a file written or moved here may have: what this
// program installs is written by the player alone, so that no other user can
// change a program it starts.
inline constexpr uint32_t kTreeFileModes = 0755;

// A regular file opened for writing by ConfinedTree::createFile.
class TreeFile {
public:
    TreeFile() = default;
    ~TreeFile();
    TreeFile(const TreeFile&) = delete;
    TreeFile& operator=(const TreeFile&) = delete;

    bool isOpen() const { return m_handle.valid(); }
    // Writes all bytes unless an error stops it.
    bool write(const void* data, std::size_t size);
    // Ends the file where the writes have got to: whatever an earlier content
    // had beyond that is cut off. Call it once the writing is over, whether
    // it succeeded or not.
    bool cutHere();
    // Permission bits (the lower 9 bits of `mode`), never group or other
    // write (kTreeFileModes).
    bool setMode(uint32_t mode);
    // Seconds since 1970 (UTC); a time whose `set…` flag is false is left alone.
    bool setTimes(bool setAccess, int64_t accessSeconds, bool setWrite, int64_t writeSeconds);
    bool close();

private:
    friend class ConfinedTree;
    UniqueHandle m_handle;
    uint64_t m_initialSize = 0;
    uint64_t m_written = 0;
};

class ConfinedTree {
public:
    enum class Kind { Missing, File, Folder, Link, Other };

    ConfinedTree() = default;
    ~ConfinedTree();
    ConfinedTree(const ConfinedTree&) = delete;
    ConfinedTree& operator=(const ConfinedTree&) = delete;

    // Opens the destination folder itself; links in `root` are followed, as
    // the caller chose that path. False when it is not an existing folder.
    bool open(const std::wstring& root);
    bool isOpen() const { return m_root.valid(); }
    void close();

    // Creates every missing folder level of `relative`. A link found at a
    // level is removed (never its target) and replaced by a real folder.
    // False when a level exists as something other than a folder or cannot
    // be made.
    bool createFolders(std::wstring_view relative);
    // What lies at `relative`, without following a link at its last level;
    // Missing as well when a level on the way is not a real folder.
    Kind kind(std::wstring_view relative);
    // Gives a file (or folder) the owner-write bit back; never acts through a link.
    bool makeWritable(std::wstring_view relative);
    // Removes a file or link (never a folder, never a link's target).
    bool remove(std::wstring_view relative);
    // Removes whatever lies at `relative`: a file or link, or a folder with
    // everything below it. Links met on the way are removed, never followed.
    // True when nothing is left there (also when nothing was); false for an
    // empty path or the root itself, which this never removes.
    bool removeAll(std::wstring_view relative);
    // Every entry below the root that is not a folder (files, links, special
    // files), as relative paths joined with "/", sorted. Folders are walked
    // without following links. False when a folder cannot be read.
    bool listFiles(std::vector<std::wstring>& out);
    // Moves the file or link at `relative` to the same relative place in
    // `target`, whose folders must exist: one rename, which replaces a file
    // or link there in a single step, even a program that still runs from
    // it. Across file systems (EXDEV) the data are copied beside the target
    // first and renamed over it, so the target is never half written; the
    // source then goes. Fails with EISDIR (or ENOTEMPTY) when a folder is in
    // the way, and with the system's error otherwise.
    bool moveTo(std::wstring_view relative, ConfinedTree& target);
    // Opens the regular file `relative` for writing from its start, creating
    // it (mode 0600) when missing. An existing file is overwritten in place,
    // not truncated first: ext4 flushes a file truncated to zero and written
    // again as soon as it is closed, which makes extracting over an earlier
    // install several times slower. TreeFile::cutHere ends it. Fails (ELOOP,
    // EISDIR, ENXIO...) when a link, folder or special file is in the way.
    bool createFile(std::wstring_view relative, TreeFile& out);

    // For folders someone else may have filled (a crash report): read without
    // following a link anywhere, and written back in whole-file steps.

    // Opens `root` as open() does, but fails (ELOOP) when its last level is a
    // link: a link put in the folder's place would carry every read below it
    // elsewhere. Levels above it are the caller's path.
    bool openWithoutLink(const std::wstring& root);
    enum class Part { Head, Tail };
    // Reads the regular file `relative`: at most `limit` bytes, from its start
    // (Head) or its last `limit` bytes (Tail); `size`, when given, receives the
    // whole file's size. Fails without blocking on a FIFO, socket or device
    // (EINVAL) and on a link at any level (ELOOP or ENOTDIR).
    bool readFile(std::wstring_view relative, std::size_t limit, Part part, std::string& out,
                  uint64_t* size = nullptr);
    // Replaces `relative` with a regular file holding `bytes`, in one step: a
    // new file beside it, created exclusively (mode 0600), written, flushed
    // and renamed over whatever lay there (a file, a link, a FIFO), which is
    // never opened. On failure the old one stays and the new one goes.
    bool replaceFile(std::wstring_view relative, std::string_view bytes);

private:
    // Opens the folder that holds the last level; `leaf` receives that
    // level's name. kInvalidHandle when the path is empty, has "..", or a
    // level on the way is missing or not a real folder. The handle stays
    // this tree's (the root or the cached folder): the caller must not close it.
    NativeHandle parentOf(std::wstring_view relative, std::string& leaf);

    UniqueHandle m_root;
    std::string m_cachedParentPath;
    UniqueHandle m_cachedParent;
};

}  // namespace platform
