// Path spelling at the system boundary. The program builds paths the Windows
// way (wide texts, "\" and "/" mixed); every system call goes through
// toSystemPath, which turns both separators into "/" and encodes UTF-8 on
// POSIX, and into "\" in a wide text on Windows.
#pragma once

#include <string>
#include <string_view>

namespace platform {

#ifdef _WIN32
using SystemPath = std::wstring;
#else
using SystemPath = std::string;
#endif

SystemPath toSystemPath(std::wstring_view path);

inline bool isSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

}  // namespace platform
