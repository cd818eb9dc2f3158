// The build takes this file on Windows only; the guard keeps it empty where a
// folder-wide source list also hands it to another system's compiler.
#ifdef _WIN32

#include <windows.h>

#include <string>

#include "platform/disk_space.h"
#include "platform/path.h"

namespace platform {

namespace {

// The folder one level up, or false at a root ("C:\", "\\server\share\") or
// for a single relative level.
bool parentOf(std::wstring& at) {
    while (at.size() > 1 && at.back() == L'\\' && !(at.size() == 3 && at[1] == L':')) at.pop_back();
    const std::size_t cut = at.rfind(L'\\');
    if (cut == std::wstring::npos) return false;
    if (cut == 2 && at[1] == L':') {
        if (at.size() == 3) return false;  // "C:\" itself
        at.resize(3);
        return true;
    }
    if (cut == 0 || (at.size() > 1 && at[0] == L'\\' && at[1] == L'\\' && at.find(L'\\', 2) >= cut)) return false;
    at.resize(cut);
    return true;
}

}  // namespace

DiskRoom diskRoomFor(const std::wstring& path, uint64_t bytes) {
    std::wstring at = toSystemPath(path);
    if (at.empty()) at = L".";
    for (;;) {
        const DWORD attributes = ::GetFileAttributesW(at.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) break;
        // A missing level, or a file (the system measures folders only),
        // sends the question up to the parent, which lies on the same volume;
        // any other failure (no permission, a bad name) is an answer.
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            const DWORD error = ::GetLastError();
            if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) return DiskRoom::Unknown;
        }
        if (!parentOf(at)) {
            if (at == L".") return DiskRoom::Unknown;
            at = L".";
        }
    }
    // The bytes free to this caller, quotas included, as f_bavail on POSIX.
    ULARGE_INTEGER available{};
    if (!::GetDiskFreeSpaceExW(at.c_str(), &available, nullptr, nullptr)) return DiskRoom::Unknown;
    if (available.QuadPart >= bytes) return DiskRoom::Enough;
    ::SetLastError(ERROR_DISK_FULL);
    return DiskRoom::TooLittle;
}

}  // namespace platform

#endif  // _WIN32
