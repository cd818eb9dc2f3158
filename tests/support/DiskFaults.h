// Disk faults that bind root too (the suite runs as root in CI, and root
// ignores permission bits): the immutable flag on a file or folder, a small
// tmpfs mounted over a folder (a full file system), and a folder made
// read-only by a read-only bind mount of itself. Each needs privileges or a
// file system that may be missing: `available()` says whether it took, and
// `why()` what stopped it, for a GTEST_SKIP. The destructors undo them.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

namespace testsupport {

// Sets (or clears) the immutable flag of `path`: no rename over it, no
// removal, no write, for root as well. False (errno set) where the file
// system or the privileges do not allow it.
bool setImmutable(const std::filesystem::path& path, bool on);

// Keeps `path` immutable for the object's lifetime.
class ImmutableFlag {
public:
    explicit ImmutableFlag(std::filesystem::path path);
    ~ImmutableFlag();
    ImmutableFlag(const ImmutableFlag&) = delete;
    ImmutableFlag& operator=(const ImmutableFlag&) = delete;
    bool available() const { return m_set; }
    const std::string& why() const { return m_why; }
    // Clears the flag before the destructor would.
    void clear();

private:
    std::filesystem::path m_path;
    bool m_set = false;
    std::string m_why;
};

// A mount over an existing folder, detached by the destructor (or unmount()).
class FolderMount {
public:
    // A fresh, empty tmpfs of `bytes` bytes over `folder`.
    static FolderMount tmpfs(const std::filesystem::path& folder, std::size_t bytes);
    // `folder` bound over itself read-only: its files stay visible, nothing
    // below it can be created, changed, renamed or removed.
    static FolderMount readOnly(const std::filesystem::path& folder);

    FolderMount(FolderMount&& other) noexcept;
    ~FolderMount();
    FolderMount(const FolderMount&) = delete;
    FolderMount& operator=(const FolderMount&) = delete;
    FolderMount& operator=(FolderMount&&) = delete;

    bool available() const { return m_mounted; }
    const std::string& why() const { return m_why; }
    void unmount();

private:
    FolderMount() = default;
    std::filesystem::path m_folder;
    bool m_mounted = false;
    std::string m_why;
};

}  // namespace testsupport
