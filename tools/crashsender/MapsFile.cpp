#include "MapsFile.h"

#ifndef _WIN32
#include <sys/sysmacros.h>
#endif

#include <charconv>

namespace crashsender {

namespace {

bool hexField(std::string_view s, uint64_t& out) {
    if (s.empty()) return false;
    const auto r = std::from_chars(s.data(), s.data() + s.size(), out, 16);
    return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

}  // namespace

std::vector<MappedFile> parseMaps(std::string_view text) {
    std::vector<MappedFile> out;
    std::size_t pos = 0;
    for (std::size_t lines = 0; pos < text.size() && lines < kMaxMapsLines; ++lines) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        // start-end perms offset major:minor inode [path]; the path may hold
        // blanks, so it is everything after the sixth field's blanks.
        std::string_view fields[5];
        std::size_t p = 0;
        bool ok = true;
        for (auto& f : fields) {
            while (p < line.size() && line[p] == ' ') ++p;
            const std::size_t q = line.find(' ', p);
            if (q == std::string_view::npos) {
                ok = false;
                break;
            }
            f = line.substr(p, q - p);
            p = q;
        }
        if (!ok) continue;
        while (p < line.size() && line[p] == ' ') ++p;
        const std::string_view path = line.substr(p);
        if (path.empty() || path.front() != '/') continue;
        MappedFile m;
        const std::size_t dash = fields[0].find('-');
        const std::size_t colon = fields[3].find(':');
        uint64_t major = 0, minor = 0;
        if (dash == std::string_view::npos || colon == std::string_view::npos ||
            !hexField(fields[0].substr(0, dash), m.start) || !hexField(fields[0].substr(dash + 1), m.end) ||
            !hexField(fields[2], m.offset) || !hexField(fields[3].substr(0, colon), major) ||
            !hexField(fields[3].substr(colon + 1), minor) || major > 0xFFFFFFFFu || minor > 0xFFFFFFFFu)
            continue;
        const auto r = std::from_chars(fields[4].data(), fields[4].data() + fields[4].size(), m.inode, 10);
        if (r.ec != std::errc() || r.ptr != fields[4].data() + fields[4].size()) continue;
#ifdef _WIN32
        // A Windows module list carries no devices; the field stays the pair's bits.
        m.device = (major << 32) | minor;
#else
        m.device = makedev(static_cast<unsigned>(major), static_cast<unsigned>(minor));
#endif
        m.executable = fields[1].size() >= 3 && fields[1][2] == 'x';
        m.path = std::string(path);
        out.push_back(std::move(m));
    }
    return out;
}

}  // namespace crashsender
