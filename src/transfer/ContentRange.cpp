#include "transfer/ContentRange.h"

#include <charconv>

namespace {

// Reads one decimal number at `p`; false when there is none or it overflows.
bool readNumber(const char*& p, const char* end, uint64_t& out) {
    const auto [next, ec] = std::from_chars(p, end, out);
    if (ec != std::errc() || next == p) return false;
    p = next;
    return true;
}

}  // namespace

bool parseContentRange(std::string_view text, uint64_t& first, uint64_t& last, uint64_t& total) {
    constexpr std::string_view kUnit = "bytes ";
    if (text.substr(0, kUnit.size()) != kUnit) return false;
    const char* p = text.data() + kUnit.size();
    const char* end = text.data() + text.size();
    uint64_t s = 0;
    uint64_t e = 0;
    uint64_t t = 0;
    if (!readNumber(p, end, s) || p == end || *p++ != '-') return false;
    if (!readNumber(p, end, e) || p == end || *p++ != '/') return false;
    if (!readNumber(p, end, t) || p != end) return false;
    if (s > e || e >= t) return false;
    first = s;
    last = e;
    total = t;
    return true;
}
