#include "support/DiskFaults.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace testsupport {

bool setImmutable(const std::filesystem::path& path, bool on) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    int flags = 0;
    bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (ok) {
        flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        ok = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    const int error = errno;
    ::close(fd);
    errno = error;
    return ok;
}

ImmutableFlag::ImmutableFlag(std::filesystem::path path) : m_path(std::move(path)) {
    m_set = setImmutable(m_path, true);
    if (!m_set) m_why = "cannot set the immutable flag on " + m_path.string() + ": " + std::strerror(errno);
}

ImmutableFlag::~ImmutableFlag() { clear(); }

void ImmutableFlag::clear() {
    if (m_set) setImmutable(m_path, false);
    m_set = false;
}

FolderMount FolderMount::tmpfs(const std::filesystem::path& folder, std::size_t bytes) {
    FolderMount m;
    m.m_folder = folder;
    const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
    m.m_mounted = ::mount("tmpfs", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0;
    if (!m.m_mounted) m.m_why = "cannot mount a tmpfs on " + folder.string() + ": " + std::strerror(errno);
    return m;
}

FolderMount FolderMount::readOnly(const std::filesystem::path& folder) {
    FolderMount m;
    m.m_folder = folder;
    if (::mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        m.m_why = "cannot bind " + folder.string() + ": " + std::strerror(errno);
        return m;
    }
    m.m_mounted = true;
    if (::mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
        m.m_why = "cannot make " + folder.string() + " read-only: " + std::strerror(errno);
        m.unmount();
    }
    return m;
}

FolderMount::FolderMount(FolderMount&& other) noexcept
    : m_folder(std::move(other.m_folder)), m_mounted(other.m_mounted), m_why(std::move(other.m_why)) {
    other.m_mounted = false;
}

FolderMount::~FolderMount() { unmount(); }

void FolderMount::unmount() {
    if (m_mounted) ::umount2(m_folder.c_str(), MNT_DETACH);
    m_mounted = false;
}

}  // namespace testsupport
