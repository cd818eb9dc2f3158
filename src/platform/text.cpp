// The part of text.h that is the same on every system.
#include "platform/text.h"

#include <cstdint>

namespace platform {

std::size_t utf8PrefixLength(std::string_view text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) return text.size();
    std::size_t cut = maxBytes;
    // Step back over continuation bytes to the lead byte of the character
    // that straddles the bound, and drop that character whole.
    std::size_t k = cut;
    while (k > 0 && (static_cast<uint8_t>(text[k]) & 0xC0) == 0x80 && cut - k < 3) --k;
    if ((static_cast<uint8_t>(text[k]) & 0xC0) == 0x80) return cut;  // not UTF-8 anyway
    return k;
}

}  // namespace platform
