// Text conversions between the program's wide texts (wchar_t, one code point
// per element on this platform) and narrow texts. Narrow texts are UTF-8 here:
// the UTF-8 form stands in for the Windows ANSI code page as well.
//
// Pure functions, callable from any thread. Never fail: a byte sequence that
// is not valid UTF-8 becomes U+FFFD, a wide character without a UTF-8 form
// (a surrogate, a value above U+10FFFF) becomes '?'.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

std::string wideToUtf8(std::wstring_view text);
std::wstring utf8ToWide(std::string_view text);

// The longest prefix of `text` of at most `maxBytes` bytes that does not end
// inside a UTF-8 sequence; used wherever a narrow text is cut to a bound.
std::size_t utf8PrefixLength(std::string_view text, std::size_t maxBytes);

}  // namespace platform
