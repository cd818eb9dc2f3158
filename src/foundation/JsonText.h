// Internal to the JSON reader: the compact text both operations work on.
// Not part of the public interface; see Json.h.
#pragma once

#include <cstddef>
#include <limits>
#include <string>
#include <vector>

namespace jsontext {

inline constexpr std::size_t kNoPosition = std::numeric_limits<std::size_t>::max();

// Where the group opened by one '[' or '{' of the compact text ends. Openers
// are numbered in document order (strings and comment markers excluded), and
// a container node remembers the number of its own opener. Splitting then
// steps over a nested group in one move instead of counting its brackets
// again, so walking down a deeply nested document costs time in proportion
// to its length, not to length times depth.
struct Group {
    std::size_t closer = kNoPosition;  // matching ']' / '}' (counting its own kind only)
    std::size_t next = 0;              // number of the first opener after the closer
};

inline bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

inline int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return c - 'A' + 10;
}

inline bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Copies `in` (n bytes) into `out` without the white space outside strings and
// without comments. With `groups`, each comment is kept as a marker "#...#"
// (with any '#' of the comment left out, so that a marker always ends at the
// next '#') and every bracket outside strings and comments is matched.
// False when a "/*" comment is never closed.
bool prepare(const char* in, std::size_t n, std::string& out, std::vector<Group>* groups);

// The validity rules on a compact text prepared without markers.
bool validCompact(const std::string& text);

}  // namespace jsontext
