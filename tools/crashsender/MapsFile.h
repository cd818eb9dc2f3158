// The copy of /proc/<pid>/maps in a report folder, as the sender reads it:
// outside input, so malformed lines are skipped and the line count is
// bounded. Pure function over bytes; callable from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace crashsender {

// One mapping that names a file.
struct MappedFile {
    uint64_t start = 0, end = 0, offset = 0;
    uint64_t device = 0;  // makedev(major, minor)
    uint64_t inode = 0;
    bool executable = false;
    std::string path;
};

inline constexpr std::size_t kMaxMapsLines = 65536;

// Parses the text of /proc/<pid>/maps; lines that name no file ("[stack]",
// anonymous) and malformed lines are left out. At most kMaxMapsLines lines
// are looked at.
std::vector<MappedFile> parseMaps(std::string_view text);

}  // namespace crashsender
