// Serving the files of one folder over cpp-httplib with HEAD and single byte
// ranges, straight from memory mappings, for the reference update service and
// the download benchmark's file server.
//
// httplib's own mount point reads the whole file for every request, so each
// 32 KiB piece of a large package would cost the whole package; and httplib
// does not cut bodies that a handler provides itself, so the range is applied
// here and the request's parsed ranges are cleared.
//
// A file is mapped on its first request and the mapping is kept while the file
// stays the same (device, inode, size, modification time are checked on every
// request), so files published or replaced after start are served too. A file
// cut shorter in place while an answer is being sent from it is not supported
// (publish by rename, as the tests and scripts do).
#pragma once

#include <fcntl.h>
#include <httplib.h>
#include <linux/openat2.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "common/ByteRange.h"

namespace rangefiles {

// A relative name of slash-separated parts, none of them empty, "." or "..",
// and no NUL: it cannot leave the folder by its spelling. (Links inside the
// folder are kept from leaving it by the opening itself, see RangeFiles::open.)
inline bool isSafeName(std::string_view name) {
    if (name.empty() || name.front() == '/' || name.find('\0') != std::string_view::npos) return false;
    std::size_t pos = 0;
    while (pos <= name.size()) {
        std::size_t end = name.find('/', pos);
        if (end == std::string_view::npos) end = name.size();
        const std::string_view part = name.substr(pos, end - pos);
        if (part.empty() || part == "." || part == "..") return false;
        pos = end + 1;
    }
    return true;
}

// One file's bytes, mapped read-only for as long as any answer still sends
// from them.
class MappedFile {
public:
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    ~MappedFile() {
        if (m_data != nullptr) ::munmap(const_cast<char*>(m_data), m_size);
    }
    const char* data() const { return m_data; }
    std::size_t size() const { return m_size; }

    // Null when the file cannot be mapped. An empty file has no mapping.
    static std::shared_ptr<const MappedFile> map(int fd, const struct stat& st) {
        std::shared_ptr<MappedFile> m(new MappedFile(st));
        if (m->m_size > 0) {
            void* p = ::mmap(nullptr, m->m_size, PROT_READ, MAP_SHARED, fd, 0);
            if (p == MAP_FAILED) return nullptr;
            m->m_data = static_cast<const char*>(p);
        }
        return m;
    }
    bool sameFile(const struct stat& st) const {
        return m_dev == st.st_dev && m_ino == st.st_ino && m_size == static_cast<std::size_t>(st.st_size) &&
               m_mtimeSec == st.st_mtim.tv_sec && m_mtimeNsec == st.st_mtim.tv_nsec;
    }

private:
    explicit MappedFile(const struct stat& st)
        : m_size(static_cast<std::size_t>(st.st_size)),
          m_dev(st.st_dev),
          m_ino(st.st_ino),
          m_mtimeSec(st.st_mtim.tv_sec),
          m_mtimeNsec(st.st_mtim.tv_nsec) {}

    const char* m_data = nullptr;
    std::size_t m_size = 0;
    dev_t m_dev;
    ino_t m_ino;
    time_t m_mtimeSec;
    long m_mtimeNsec;
};

// The regular files below one folder. Safe to use from httplib's worker
// threads at once.
class RangeFiles {
public:
    explicit RangeFiles(const std::filesystem::path& folder)
        : m_dirFd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}
    ~RangeFiles() {
        if (m_dirFd >= 0) ::close(m_dirFd);
    }
    RangeFiles(const RangeFiles&) = delete;
    RangeFiles& operator=(const RangeFiles&) = delete;

    // False when the folder could not be opened.
    bool valid() const { return m_dirFd >= 0; }

    // The file `name` (relative to the folder), or null when the name is not
    // safe, the file does not exist, is not a regular file or cannot be mapped.
    std::shared_ptr<const MappedFile> open(const std::string& name) {
        if (!valid() || !isSafeName(name)) return nullptr;
        const int fd = openBeneath(name);
        if (fd < 0) return nullptr;
        struct stat st {};
        std::shared_ptr<const MappedFile> file;
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
            std::lock_guard<std::mutex> lock(m_lock);
            auto& cached = m_files[name];
            if (cached == nullptr || !cached->sameFile(st)) cached = MappedFile::map(fd, st);
            file = cached;
        }
        ::close(fd);
        return file;
    }

private:
    // The kernel resolves the name without leaving the folder, links
    // included; where openat2 is missing, the checked spelling alone holds.
    int openBeneath(const std::string& name) const {
        open_how how{};
        how.flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
        const long fd = ::syscall(SYS_openat2, m_dirFd, name.c_str(), &how, sizeof how);
        if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) return static_cast<int>(fd);
        return ::openat(m_dirFd, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    }

    int m_dirFd;
    std::mutex m_lock;
    std::map<std::string, std::shared_ptr<const MappedFile>> m_files;
};

// Nagle's algorithm off, as in ordinary web servers: otherwise a body's tail
// waits for the client's delayed ACK of the headers (40 ms on Linux) on every
// keep-alive request. And a segmented download makes thousands of requests
// on one connection, which httplib would otherwise close after five.
inline void tuneServer(httplib::Server& server) {
    server.set_tcp_nodelay(true);
    server.set_keep_alive_max_count(1000000);
}

// Answers one GET or HEAD for the file `name` of `files`: 200 with the whole
// file, 206 with Content-Range for one satisfiable byte range, 416 with
// "Content-Range: bytes */<size>" for a range outside the file or several
// ranges, 404 for a missing file or a name that is not safe. httplib sets
// Content-Length and leaves the body out of HEAD answers.
inline void answer(RangeFiles& files, const std::string& name, const httplib::Request& req, httplib::Response& res) {
    // Taken before httplib can apply them to a body it does not hold.
    const auto ranges = req.ranges;
    const_cast<httplib::Request&>(req).ranges.clear();

    const std::shared_ptr<const MappedFile> file = files.open(name);
    if (file == nullptr) {
        res.status = 404;
        return;
    }
    const std::size_t size = file->size();
    std::size_t offset = 0;
    std::size_t length = size;
    if (ranges.empty()) {
        res.status = 200;
    } else {
        // httplib's parse: -1 stands for a bound left out.
        auto bound = [](ssize_t v) { return v < 0 ? std::nullopt : std::optional<uint64_t>(static_cast<uint64_t>(v)); };
        ByteRange range;
        if (ranges.size() == 1) range = resolveRange(bound(ranges[0].first), bound(ranges[0].second), size);
        setRangeStatus(range, size, res);
        if (!range.satisfiable) return;
        offset = static_cast<std::size_t>(range.offset);
        length = static_cast<std::size_t>(range.length);
    }
    if (length == 0) {
        res.set_content(std::string(), "application/octet-stream");
        return;
    }
    res.set_content_provider(length, "application/octet-stream",
                             [file, offset](std::size_t at, std::size_t remaining, httplib::DataSink& sink) {
                                 const std::size_t n = remaining < (1u << 20) ? remaining : (1u << 20);
                                 return sink.write(file->data() + offset + at, n);
                             });
}

}  // namespace rangefiles
