// GetPrivateProfileStringW / GetPrivateProfileIntW: reading one value from an
// INI ("profile") file with the Windows rules. On Windows the file functions
// are the system's own (a file that is not a disk file reads as missing);
// elsewhere they are the stand-ins described here.
//
//   - section and key names are compared without letter case (Unicode's simple
//     case mapping, as in the C.UTF-8 locale);
//   - the first section of a name is the one searched, and in it the first
//     key of a name wins;
//   - blanks (space, TAB, VT, FF, CR and the DOS end-of-file byte 0x1A) around
//     section names, key names and values are removed;
//   - one pair of enclosing quotes, both " or both ', is removed from a value;
//   - a line whose first non-blank character is ';' is a comment; nothing else
//     is ('#' and a ';' after a value are text);
//   - a line without '=' names a key without a value, which reads as missing;
//   - the value is cut to `size` - 1 characters and always terminated;
//   - a missing file, section or key gives the default (trailing blanks of
//     the default removed, as Windows does).
//
// Files are UTF-8 (the narrow encoding of POSIX; the system's reader on
// Windows takes the ANSI code page instead) with or without a
// byte-order mark, or UTF-16 with one (Windows' "Unicode" profile files);
// bytes that are not valid UTF-8 read as U+FFFD. Lines end with LF, CR LF or
// a lone CR. Only the first 16 MiB of a file are read.
//
// Pure reads: callable from any thread, nothing is cached between calls.
#pragma once

#include <cstdint>
#include <string_view>

namespace platform {

// Copies the value of `key` in `section` of the file at `path` (wide path,
// "\" and "/" both separate) into `out`, else `defaultValue` (null = "").
// Returns the number of characters copied, terminator not counted. With a
// null or empty `out` nothing is written and 0 is returned. A null `section`
// or `key` (the Windows listing modes) is not supported and reads as missing.
uint32_t getPrivateProfileString(const wchar_t* section, const wchar_t* key, const wchar_t* defaultValue, wchar_t* out,
                                 uint32_t size, const wchar_t* path);

// The value read as an integer the way Windows does: an optional sign, then
// decimal digits, or "0x" and hexadecimal digits, up to the first character
// that is not a digit ("12ab" is 12, "abc" is 0). A missing or empty value
// gives `defaultValue`. The result is unsigned like the Windows one; a
// negative value comes back in two's complement.
uint32_t getPrivateProfileInt(const wchar_t* section, const wchar_t* key, int32_t defaultValue, const wchar_t* path);

// The same lookup over file contents already in memory; on POSIX the file
// operations above are this plus the read. Exposed for tests and the fuzz
// target.
uint32_t profileStringFromText(std::string_view content, const wchar_t* section, const wchar_t* key,
                               const wchar_t* defaultValue, wchar_t* out, uint32_t size);

}  // namespace platform
