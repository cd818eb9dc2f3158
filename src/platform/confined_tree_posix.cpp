#include "platform/confined_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "platform/file.h"
#include "platform/file_faults.h"
#include "platform/path.h"
#include "platform/posix_io.h"
#include "platform/text.h"

namespace platform {

namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Splits into levels; false for a ".." level.
bool splitLevels(std::wstring_view relative, std::vector<std::string>& out) {
    out.clear();
    std::size_t pos = 0;
    while (pos <= relative.size()) {
        std::size_t end = pos;
        while (end < relative.size() && !isSeparator(relative[end])) ++end;
        const std::wstring_view level = relative.substr(pos, end - pos);
        if (level == L"..") {
            errno = EACCES;
            return false;
        }
        if (!level.empty() && level != L".") out.push_back(wideToUtf8(level));
        pos = end + 1;
    }
    return true;
}

int openFolderAt(int dir, const std::string& name) {
    int fd;
    do {
        fd = ::openat(dir, name.c_str(), kFolderFlags);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

bool makeFolderAt(int dir, const std::string& name) {
    if (injectFileFaultAt(FileOp::CreateFolder, dir, name)) return false;
    return ::mkdirat(dir, name.c_str(), 0755) == 0 || errno == EEXIST;
}

// A launcher package is a few folders deep; a tree deeper than this is not
// ours, and walking it must not exhaust the stack.
constexpr int kMaxDepth = 128;

// The names in the open folder `fd` ("." and ".." left out). Takes a
// duplicate of `fd`, which stays open for the caller.
bool folderNames(int fd, std::vector<std::string>& out) {
    out.clear();
    UniqueHandle dup(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
    if (!dup.valid()) return false;
    DIR* dir = ::fdopendir(dup.get());
    if (dir == nullptr) return false;
    // closedir closes it from here on.
    dup.release();
    // The copy shares its offset with `fd`: start from the top whatever an
    // earlier listing through the same folder left behind.
    ::rewinddir(dir);
    errno = 0;
    while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") out.push_back(name);
        errno = 0;
    }
    const bool ok = errno == 0;
    ::closedir(dir);
    return ok;
}

bool removeAllAt(int dir, const std::string& name, int depth) {
    struct stat st{};
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT) return true;
    if (injectFileFaultAt(FileOp::Delete, dir, name)) return false;
    if (::unlinkat(dir, name.c_str(), 0) == 0 || errno == ENOENT) return true;
    if (errno != EISDIR && errno != EPERM) return false;
    if (depth >= kMaxDepth) {
        errno = ELOOP;
        return false;
    }
    UniqueHandle folder(openFolderAt(dir, name));
    if (!folder.valid()) return false;
    std::vector<std::string> names;
    bool ok = folderNames(folder.get(), names);
    for (const std::string& n : names) ok = removeAllAt(folder.get(), n, depth + 1) && ok;
    folder.reset();
    if (!ok) return false;
    return ::unlinkat(dir, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT;
}

bool listFilesAt(int fd, const std::string& prefix, int depth, std::vector<std::string>& out) {
    if (depth >= kMaxDepth) {
        errno = ELOOP;
        return false;
    }
    std::vector<std::string> names;
    if (!folderNames(fd, names)) return false;
    for (const std::string& n : names) {
        struct stat st{};
        if (::fstatat(fd, n.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
        if (!S_ISDIR(st.st_mode)) {
            out.push_back(prefix + n);
            continue;
        }
        const UniqueHandle sub(openFolderAt(fd, n));
        if (!sub.valid()) return false;
        if (!listFilesAt(sub.get(), prefix + n + "/", depth + 1, out)) return false;
    }
    return true;
}

// Copies the regular file `leaf` of `fromDir` beside `leaf` of `toDir` and
// renames the copy over it: the target is either the old file or the whole
// new one, never a part.
bool copyOver(int fromDir, const std::string& leaf, int toDir) {
    int inFd;
    do {
        inFd = ::openat(fromDir, leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    } while (inFd < 0 && errno == EINTR);
    UniqueHandle in(inFd);
    if (!in.valid()) return false;
    struct stat st{};
    if (::fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return false;
    }
    const std::string temp = "." + leaf + ".moving";
    ::unlinkat(toDir, temp.c_str(), 0);
    int outFd;
    do {
        outFd = ::openat(toDir, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    } while (outFd < 0 && errno == EINTR);
    UniqueHandle out(outFd);
    if (!out.valid()) return false;
    std::vector<char> buffer(65536);
    bool ok = true;
    for (;;) {
        const ssize_t n = ::read(in.get(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ok = false;
            break;
        }
        if (n == 0) break;
        if (!writeAll(out.get(), buffer.data(), static_cast<std::size_t>(n))) {
            ok = false;
            break;
        }
    }
    if (ok) {
        const timespec times[2] = {st.st_atim, st.st_mtim};
        ::futimens(out.get(), times);
        ok = ::fchmod(out.get(), st.st_mode & kTreeFileModes) == 0;
    }
    int error = errno;
    in.reset();
    // A copy whose last bytes the close could not write failed, and says why.
    const bool closed = out.close();
    if (ok && !closed) {
        ok = false;
        error = errno;
    }
    if (ok && ::renameat(toDir, temp.c_str(), toDir, leaf.c_str()) == 0) {
        ::unlinkat(fromDir, leaf.c_str(), 0);
        return true;
    }
    const int failure = ok ? errno : error;
    ::unlinkat(toDir, temp.c_str(), 0);
    errno = failure;
    return false;
}

}  // namespace

TreeFile::~TreeFile() { close(); }

bool TreeFile::write(const void* data, std::size_t size) {
    std::size_t done = 0;
    if (injectFileFaultOnHandle(FileOp::Write, m_handle.get())) {
        // A disk that fills up takes part of a write before it refuses.
        const int error = errno;
        writeAll(m_handle.get(), data, size / 2, &done);
        m_written += done;
        errno = error;
        return false;
    }
    const bool ok = writeAll(m_handle.get(), data, size, &done);
    m_written += done;
    return ok;
}

bool TreeFile::cutHere() {
    // Cutting a file that has not grown shorter would only cost a journal
    // transaction per file.
    if (m_written >= m_initialSize) return true;
    if (injectFileFaultOnHandle(FileOp::Truncate, m_handle.get())) return false;
    return ::ftruncate(m_handle.get(), static_cast<off_t>(m_written)) == 0;
}

bool TreeFile::setMode(uint32_t mode) {
    if (injectFileFaultOnHandle(FileOp::SetAttributes, m_handle.get())) return false;
    return ::fchmod(m_handle.get(), static_cast<mode_t>(mode & kTreeFileModes)) == 0;
}

bool TreeFile::setTimes(bool setAccess, int64_t accessSeconds, bool setWrite, int64_t writeSeconds) {
    timespec times[2]{};
    times[0].tv_sec = static_cast<time_t>(accessSeconds);
    times[0].tv_nsec = setAccess ? 0 : UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(writeSeconds);
    times[1].tv_nsec = setWrite ? 0 : UTIME_OMIT;
    if (injectFileFaultOnHandle(FileOp::SetAttributes, m_handle.get())) return false;
    return ::futimens(m_handle.get(), times) == 0;
}

bool TreeFile::close() { return m_handle.close(); }

ConfinedTree::~ConfinedTree() { close(); }

bool ConfinedTree::open(const std::wstring& root) {
    close();
    const std::string p = toSystemPath(root);
    int fd;
    do {
        fd = ::open(p.empty() ? "." : p.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    m_root.reset(fd);
    return fd >= 0;
}

void ConfinedTree::close() {
    m_cachedParent.reset();
    m_cachedParentPath.clear();
    m_root.reset();
}

NativeHandle ConfinedTree::parentOf(std::wstring_view relative, std::string& leaf) {
    std::vector<std::string> levels;
    if (!m_root.valid() || !splitLevels(relative, levels)) return kInvalidHandle;
    if (levels.empty()) {
        errno = ENOENT;
        return kInvalidHandle;
    }
    leaf = levels.back();
    levels.pop_back();
    if (levels.empty()) return m_root.get();

    std::string key;
    for (const std::string& l : levels) {
        key += l;
        key += '/';
    }
    if (m_cachedParent.valid() && key == m_cachedParentPath) return m_cachedParent.get();

    // `cur` owns every level below the root; the root stays the tree's.
    UniqueHandle cur;
    for (const std::string& l : levels) {
        UniqueHandle next(openFolderAt(cur.valid() ? cur.get() : m_root.get(), l));
        if (!next.valid()) return kInvalidHandle;
        cur = std::move(next);
    }
    m_cachedParent = std::move(cur);
    m_cachedParentPath = std::move(key);
    return m_cachedParent.get();
}

bool ConfinedTree::createFolders(std::wstring_view relative) {
    std::vector<std::string> levels;
    if (!m_root.valid() || !splitLevels(relative, levels)) return false;
    // Members of one folder follow each other: the folder that was walked
    // last is known to be whole.
    if (m_cachedParent.valid() && !levels.empty()) {
        std::string key;
        for (const std::string& l : levels) {
            key += l;
            key += '/';
        }
        if (key == m_cachedParentPath) return true;
    }
    // `cur` owns every level below the root; the root stays the tree's.
    UniqueHandle cur;
    for (const std::string& l : levels) {
        const NativeHandle at = cur.valid() ? cur.get() : m_root.get();
        UniqueHandle next(openFolderAt(at, l));
        if (!next.valid()) {
            struct stat st{};
            if (::fstatat(at, l.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
                // A link where a folder belongs is dropped, not followed.
                if (S_ISLNK(st.st_mode) && !injectFileFaultAt(FileOp::Delete, at, l) &&
                    ::unlinkat(at, l.c_str(), 0) == 0) {
                    if (makeFolderAt(at, l)) next.reset(openFolderAt(at, l));
                }
            } else if (errno == ENOENT) {
                if (makeFolderAt(at, l)) next.reset(openFolderAt(at, l));
            }
        }
        if (!next.valid()) return false;
        cur = std::move(next);
    }
    return true;
}

ConfinedTree::Kind ConfinedTree::kind(std::wstring_view relative) {
    std::string leaf;
    const int parent = parentOf(relative, leaf);
    struct stat st{};
    if (parent < 0 || ::fstatat(parent, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return Kind::Missing;
    if (S_ISLNK(st.st_mode)) return Kind::Link;
    if (S_ISREG(st.st_mode)) return Kind::File;
    if (S_ISDIR(st.st_mode)) return Kind::Folder;
    return Kind::Other;
}

bool ConfinedTree::makeWritable(std::wstring_view relative) {
    std::string leaf;
    const int parent = parentOf(relative, leaf);
    struct stat st{};
    if (parent < 0 || ::fstatat(parent, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
    if (S_ISLNK(st.st_mode)) {
        errno = ELOOP;
        return false;
    }
    if ((st.st_mode & S_IWUSR) != 0) return true;
    const mode_t mode = static_cast<mode_t>((st.st_mode & 07777) | S_IWUSR);
    if (injectFileFaultAt(FileOp::SetAttributes, parent, leaf)) return false;
    // AT_SYMLINK_NOFOLLOW keeps a link swapped in since the check from
    // redirecting the change.
    return ::fchmodat(parent, leaf.c_str(), mode, AT_SYMLINK_NOFOLLOW) == 0;
}

bool ConfinedTree::remove(std::wstring_view relative) {
    std::string leaf;
    const int parent = parentOf(relative, leaf);
    if (parent < 0 || injectFileFaultAt(FileOp::Delete, parent, leaf)) return false;
    return ::unlinkat(parent, leaf.c_str(), 0) == 0;
}

bool ConfinedTree::removeAll(std::wstring_view relative) {
    std::vector<std::string> levels;
    if (!splitLevels(relative, levels)) return false;
    // The root itself is not this call's to remove.
    if (levels.empty()) {
        errno = EINVAL;
        return false;
    }
    // The cached folder handle may be one about to go.
    m_cachedParent.reset();
    m_cachedParentPath.clear();
    std::string leaf;
    const int parent = parentOf(relative, leaf);
    if (parent < 0) return errno == ENOENT;
    return removeAllAt(parent, leaf, 0);
}

bool ConfinedTree::listFiles(std::vector<std::wstring>& out) {
    out.clear();
    if (!m_root.valid()) {
        errno = EBADF;
        return false;
    }
    std::vector<std::string> names;
    if (!listFilesAt(m_root.get(), "", 0, names)) return false;
    std::sort(names.begin(), names.end());
    for (const std::string& n : names) out.push_back(utf8ToWide(n));
    return true;
}

bool ConfinedTree::moveTo(std::wstring_view relative, ConfinedTree& target) {
    std::string leaf;
    const int from = parentOf(relative, leaf);
    if (from < 0) return false;
    std::string targetLeaf;
    const int to = target.parentOf(relative, targetLeaf);
    if (to < 0 || injectFileFaultAt(FileOp::Rename, to, targetLeaf)) return false;
    if (::renameat(from, leaf.c_str(), to, targetLeaf.c_str()) == 0) return true;
    if (errno != EXDEV) return false;
    return copyOver(from, leaf, to);
}

bool ConfinedTree::createFile(std::wstring_view relative, TreeFile& out) {
    out.close();
    std::string leaf;
    const int parent = parentOf(relative, leaf);
    if (parent < 0 || injectFileFaultAt(FileOp::Create, parent, leaf)) return false;
    // O_NONBLOCK keeps a FIFO put in the way from blocking the open; it makes
    // no difference to a regular file.
    int fd;
    do {
        fd = ::openat(parent, leaf.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    UniqueHandle file(fd);
    if (!file.valid()) return false;
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return false;
    }
    out.m_handle = std::move(file);
    out.m_initialSize = static_cast<uint64_t>(st.st_size);
    out.m_written = 0;
    return true;
}

bool ConfinedTree::openWithoutLink(const std::wstring& root) {
    close();
    const std::string p = toSystemPath(root);
    int fd;
    do {
        fd = ::open(p.empty() ? "." : p.c_str(), kFolderFlags);
    } while (fd < 0 && errno == EINTR);
    // With O_DIRECTORY the kernel names a link ENOTDIR; it is ELOOP here,
    // as at every other level.
    struct stat st{};
    if (fd < 0 && errno == ENOTDIR && ::lstat(p.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) errno = ELOOP;
    m_root.reset(fd);
    return fd >= 0;
}

bool ConfinedTree::readFile(std::wstring_view relative, std::size_t limit, Part part, std::string& out,
                            uint64_t* size) {
    out.clear();
    std::string leaf;
    const int parent = parentOf(relative, leaf);
    if (parent < 0) return false;
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a
    // writer that may never come; a regular file reads the same either way.
    int fd;
    do {
        fd = ::openat(parent, leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    const UniqueHandle file(fd);
    if (!file.valid()) return false;
    struct stat st{};
    if (::fstat(fd, &st) != 0) return false;
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return false;
    }
    const uint64_t whole = static_cast<uint64_t>(st.st_size);
    if (size != nullptr) *size = whole;
    off_t at = 0;
    if (part == Part::Tail && whole > limit) at = static_cast<off_t>(whole - limit);
    // The size is where the file stood at the open; a file still growing is
    // read no further than `limit` all the same.
    out.resize(static_cast<std::size_t>(std::min<uint64_t>(whole, limit)));
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = ::pread(fd, out.data() + done, out.size() - done, at + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            out.clear();
            return false;
        }
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    out.resize(done);
    return true;
}

namespace {

// A name beside `leaf` that nothing else uses; O_EXCL makes sure of it, so
// this only has to make a clash unlikely.
std::string temporaryName(const std::string& leaf, unsigned attempt) {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const unsigned long long mix = static_cast<unsigned long long>(now.tv_nsec) ^
                                   (static_cast<unsigned long long>(::getpid()) << 32) ^ attempt;
    return "." + leaf + "." + std::to_string(mix % 1000000007ull) + ".tmp";
}

}  // namespace

bool ConfinedTree::replaceFile(std::wstring_view relative, std::string_view bytes) {
    std::string leaf;
    const int parent = parentOf(relative, leaf);
    if (parent < 0) return false;
    std::string temp;
    int fd = -1;
    for (unsigned attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = temporaryName(leaf, attempt);
        do {
            fd = ::openat(parent, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0 && errno != EEXIST) return false;
    }
    UniqueHandle file(fd);
    if (!file.valid()) return false;
    bool ok = writeAll(fd, bytes.data(), bytes.size()) && ::fsync(fd) == 0;
    int error = errno;
    if (!file.close() && ok) {
        ok = false;
        error = errno;
    }
    if (ok && ::renameat(parent, temp.c_str(), parent, leaf.c_str()) == 0) return true;
    if (ok) error = errno;
    ::unlinkat(parent, temp.c_str(), 0);
    errno = error;
    return false;
}

}  // namespace platform
