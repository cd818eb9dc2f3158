// The full form of a path on Windows, for the _win.cpp files of this layer.
#pragma once

#ifdef _WIN32

#include <windows.h>

#include <string>

namespace platform {

// `path` made full (GetFullPathNameW: relative to the current folder, "."
// and ".." applied); false when the system cannot make one.
inline bool fullPathName(const std::wstring& path, std::wstring& out) {
    std::wstring full(MAX_PATH, L'\0');
    DWORD n = ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (n >= full.size()) {
        full.assign(n, L'\0');
        n = ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    }
    if (n == 0 || n >= full.size()) return false;
    full.resize(n);
    out = std::move(full);
    return true;
}

}  // namespace platform

#endif  // _WIN32
