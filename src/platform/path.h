// Path spelling at the system boundary. The program builds paths the Windows
// way (wide texts, "\" and "/" mixed); every system call goes through
// toSystemPath, which turns both separators into "/" and encodes UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace platform {

std::string toSystemPath(std::wstring_view path);

inline bool isSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

}  // namespace platform
