// Text conversions between the program's wide texts (wchar_t: one code point
// per element on POSIX, UTF-16 on Windows) and narrow texts. On POSIX narrow
// texts are UTF-8, and the UTF-8 form stands in for the ANSI code page as
// well; on Windows the ANSI conversions use the system's ANSI code page.
//
// Pure functions, callable from any thread. Never fail: a byte sequence that
// is not valid UTF-8 becomes U+FFFD, a wide character without a UTF-8 form
// (a surrogate without its pair, a value above U+10FFFF) becomes '?'.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

std::string wideToUtf8(std::wstring_view text);
std::wstring utf8ToWide(std::string_view text);

// The system's ANSI code page (CP_ACP) on Windows: a character the code page
// lacks becomes its default character ('?'), never a look-alike. The same as
// the UTF-8 conversions above on POSIX.
std::string wideToAnsi(std::wstring_view text);
std::wstring ansiToWide(std::string_view text);

// The longest prefix of `text` of at most `maxBytes` bytes that does not end
// inside a UTF-8 sequence; used wherever a narrow text is cut to a bound.
std::size_t utf8PrefixLength(std::string_view text, std::size_t maxBytes);

}  // namespace platform
