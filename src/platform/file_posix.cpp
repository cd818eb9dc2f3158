#include "platform/file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cwctype>
#include <utility>

#include "platform/file_faults.h"
#include "platform/path.h"
#include "platform/posix_io.h"
#include "platform/text.h"

namespace platform {

File::~File() { close(); }

File::File(File&& other) noexcept = default;

File& File::operator=(File&& other) noexcept = default;

bool File::open(const std::wstring& path, Access access, Disposition disposition, bool append) {
    close();
    const std::string p = toSystemPath(path);
    int flags = O_CLOEXEC;
    switch (access) {
        case Access::Read: flags |= O_RDONLY; break;
        case Access::Write: flags |= O_WRONLY; break;
        case Access::ReadWrite: flags |= O_RDWR; break;
    }
    if (access != Access::Read) {
        // A read-only file refuses write access whoever asks, root included.
        struct stat st{};
        if (::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & S_IWUSR) == 0) {
            errno = EACCES;
            return false;
        }
        if (disposition != Disposition::OpenExisting) flags |= O_CREAT;
        if (disposition == Disposition::CreateAlways) flags |= O_TRUNC;
        if (append) flags |= O_APPEND;
    } else if (disposition != Disposition::OpenExisting) {
        flags |= O_CREAT;
    }
    if ((flags & (O_CREAT | O_ACCMODE)) != O_RDONLY && injectFileFault(FileOp::Create, p)) return false;
    // O_NONBLOCK keeps a FIFO or device put in the file's place from blocking
    // the open (a FIFO without a writer would hold the caller for good); only
    // regular files are files here: no file the program reads or writes is
    // meant to be a FIFO, socket or device.
    int fd;
    do {
        fd = ::open(p.c_str(), flags | O_NONBLOCK | O_NOCTTY, 0644);
    } while (fd < 0 && errno == EINTR);
    UniqueHandle file(fd);
    if (!file.valid()) return false;
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EACCES;
        return false;
    }
    // Reads and writes of a regular file never wait anyway; the flag goes so
    // that nothing later can take it for a non-blocking stream.
    const int statusFlags = ::fcntl(fd, F_GETFL);
    if (statusFlags < 0 || ::fcntl(fd, F_SETFL, statusFlags & ~O_NONBLOCK) != 0) return false;
    m_handle = std::move(file);
    return true;
}

void File::close() { m_handle.reset(); }

int64_t File::read(void* buffer, std::size_t size) {
    ssize_t n;
    do {
        n = ::read(m_handle.get(), buffer, size);
    } while (n < 0 && errno == EINTR);
    return n;
}

bool writeAll(int fd, const void* data, std::size_t size, std::size_t* written) {
    const auto* p = static_cast<const char*>(data);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, p + done, size - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (n == 0) {
            errno = EIO;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (written != nullptr) *written = done;
    return done == size;
}

bool File::write(const void* buffer, std::size_t size, std::size_t* written) {
    if (injectFileFaultOnHandle(FileOp::Write, m_handle.get())) {
        // A disk that fills up takes part of a write before it refuses.
        const int error = errno;
        writeAll(m_handle.get(), buffer, size / 2, written);
        errno = error;
        return false;
    }
    return writeAll(m_handle.get(), buffer, size, written);
}

bool File::seek(uint64_t offset) { return ::lseek(m_handle.get(), static_cast<off_t>(offset), SEEK_SET) >= 0; }

bool File::truncate(uint64_t size) {
    if (injectFileFaultOnHandle(FileOp::Truncate, m_handle.get())) return false;
    return ::ftruncate(m_handle.get(), static_cast<off_t>(size)) == 0;
}

bool File::size(uint64_t& out) const {
    struct stat st{};
    if (::fstat(m_handle.get(), &st) != 0) return false;
    out = static_cast<uint64_t>(st.st_size);
    return true;
}

bool pathExists(const std::wstring& path) {
    struct stat st{};
    return ::stat(toSystemPath(path).c_str(), &st) == 0;
}

bool isDirectory(const std::wstring& path) {
    struct stat st{};
    return ::stat(toSystemPath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool createDirectory(const std::wstring& path) {
    const std::string p = toSystemPath(path);
    if (injectFileFault(FileOp::CreateFolder, p)) return false;
    return ::mkdir(p.c_str(), 0755) == 0;
}

bool deleteFile(const std::wstring& path) {
    const std::string p = toSystemPath(path);
    struct stat st{};
    if (::lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return false;
    }
    if (injectFileFault(FileOp::Delete, p)) return false;
    return ::unlink(p.c_str()) == 0;
}

bool replaceFile(const std::wstring& from, const std::wstring& to) {
    const std::string f = toSystemPath(from);
    const std::string t = toSystemPath(to);
    if (injectFileFault(FileOp::Rename, f)) return false;
    return ::rename(f.c_str(), t.c_str()) == 0;
}

namespace {

bool changeMode(const std::wstring& path, mode_t clear, mode_t set) {
    const std::string p = toSystemPath(path);
    struct stat st{};
    if (::lstat(p.c_str(), &st) != 0) return false;
    if (S_ISLNK(st.st_mode)) {
        errno = ELOOP;
        return false;
    }
    const mode_t mode = static_cast<mode_t>(((st.st_mode & 07777) & ~clear) | set);
    if (mode == (st.st_mode & 07777)) return true;
    if (injectFileFault(FileOp::SetAttributes, p)) return false;
    // Should a link replace the file after the look above, the change
    // fails rather than reach the link's target.
    return ::fchmodat(AT_FDCWD, p.c_str(), mode, AT_SYMLINK_NOFOLLOW) == 0;
}

}  // namespace

bool setFileReadOnly(const std::wstring& path) { return changeMode(path, S_IWUSR | S_IWGRP | S_IWOTH, 0); }

bool setFileAttributesNormal(const std::wstring& path) { return changeMode(path, 0, S_IWUSR); }

bool fileSize(const std::wstring& path, uint64_t& out) {
    struct stat st{};
    if (::stat(toSystemPath(path).c_str(), &st) != 0) return false;
    out = static_cast<uint64_t>(st.st_size);
    return true;
}

namespace {

bool endsWithNoCase(const std::wstring& name, const std::wstring& suffix) {
    if (name.size() < suffix.size()) return false;
    const std::size_t off = name.size() - suffix.size();
    for (std::size_t i = 0; i < suffix.size(); ++i) {
        if (std::towlower(static_cast<wint_t>(name[off + i])) != std::towlower(static_cast<wint_t>(suffix[i]))) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool listDirectory(const std::wstring& folder, const std::wstring& suffix, std::vector<DirEntry>& out) {
    out.clear();
    const std::string dirPath = toSystemPath(folder);
    DIR* dir = ::opendir(dirPath.c_str());
    if (dir == nullptr) return false;
    const int dfd = ::dirfd(dir);
    errno = 0;
    while (dirent* e = ::readdir(dir)) {
        const std::string_view raw(e->d_name);
        if (raw == "." || raw == "..") continue;
        std::wstring name = utf8ToWide(raw);
        if (!endsWithNoCase(name, suffix)) continue;
        struct stat st{};
        if (::fstatat(dfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        DirEntry entry;
        entry.name = std::move(name);
        entry.isDirectory = S_ISDIR(st.st_mode);
        entry.isRegularFile = S_ISREG(st.st_mode);
        entry.lastWriteSeconds = static_cast<uint64_t>(st.st_mtim.tv_sec) + kFileTimeEpochOffsetSeconds;
        out.push_back(std::move(entry));
        errno = 0;
    }
    const int err = errno;
    ::closedir(dir);
    errno = err;
    return err == 0;
}

}  // namespace platform
