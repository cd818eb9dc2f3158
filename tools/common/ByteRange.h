// Byte ranges of a body, answered as the project's file servers answer them.
// Kept apart from the file serving of RangeFiles.h, which is Linux only, so
// that the in-process fake servers of the Windows tests answer the same way.
#pragma once

#include <httplib.h>

#include <cstdint>
#include <optional>
#include <string>

namespace rangefiles {

// Where one byte range of a body of `size` bytes lies. `first` left out is a
// suffix range ("-N": the last `last` bytes); `last` left out runs to the end.
struct ByteRange {
    bool satisfiable = false;
    uint64_t offset = 0;
    uint64_t length = 0;
};

inline ByteRange resolveRange(std::optional<uint64_t> first, std::optional<uint64_t> last, uint64_t size) {
    ByteRange r;
    if (!first) {
        if (!last || *last == 0 || size == 0) return r;
        r.offset = *last >= size ? 0 : size - *last;
    } else {
        if (*first >= size || (last && *last < *first)) return r;
        r.offset = *first;
    }
    const uint64_t end = !first || !last || *last >= size ? size - 1 : *last;  // inclusive
    r.length = end - r.offset + 1;
    r.satisfiable = true;
    return r;
}

// 206 with "Content-Range: bytes <from>-<to>/<size>", or 416 with
// "Content-Range: bytes */<size>".
inline void setRangeStatus(const ByteRange& r, uint64_t size, httplib::Response& res) {
    // Appended rather than "/" + ...: GCC 12 at -O2 reports a false overlap
    // (-Wrestrict) for a literal joined to a temporary string.
    std::string total = "/";
    total += std::to_string(size);
    if (!r.satisfiable) {
        res.status = 416;
        res.set_header("Content-Range", "bytes *" + total);
        return;
    }
    res.status = 206;
    res.set_header("Content-Range",
                   "bytes " + std::to_string(r.offset) + "-" + std::to_string(r.offset + r.length - 1) + total);
}

}  // namespace rangefiles
