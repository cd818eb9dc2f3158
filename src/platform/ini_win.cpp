// The build takes this file on Windows only; the guard keeps it empty where a
// folder-wide source list also hands it to another system's compiler.
#ifdef _WIN32

#include <windows.h>

#include <string>

#include "platform/file.h"
#include "platform/full_path_win.h"
#include "platform/ini.h"
#include "platform/path.h"

namespace platform {

namespace {

// The system takes a name without a folder as one in the Windows folder: the
// path is made full first, so that a relative one means the current folder as
// everywhere else in this layer.
bool fullPath(const wchar_t* path, std::wstring& out) {
    const SystemPath p = toSystemPath(path);
    return fullPathName(p, out);
}

// Whether `path` is a disk file this process may read. The system's reader
// would open a pipe or device of that name as well and could wait on it for
// good; such a name, like a missing file, reads as missing. The file stays
// open (sharing everything) while the system reads it.
bool openDiskFile(const std::wstring& path, File& file) {
    return file.open(path, File::Access::Read, File::Disposition::OpenExisting);
}

}  // namespace

uint32_t getPrivateProfileString(const wchar_t* section, const wchar_t* key, const wchar_t* defaultValue, wchar_t* out,
                                 uint32_t size, const wchar_t* path) {
    if (out == nullptr || size == 0) return 0;
    std::wstring full;
    File file;
    // A null section or key would list names instead of reading a value.
    if (section == nullptr || key == nullptr || path == nullptr || !fullPath(path, full) || !openDiskFile(full, file)) {
        return profileStringFromText({}, section, key, defaultValue, out, size);
    }
    return static_cast<uint32_t>(
        ::GetPrivateProfileStringW(section, key, defaultValue != nullptr ? defaultValue : L"", out, size, full.c_str()));
}

uint32_t getPrivateProfileInt(const wchar_t* section, const wchar_t* key, int32_t defaultValue, const wchar_t* path) {
    std::wstring full;
    File file;
    if (section == nullptr || key == nullptr || path == nullptr || !fullPath(path, full) || !openDiskFile(full, file)) {
        return static_cast<uint32_t>(defaultValue);
    }
    return ::GetPrivateProfileIntW(section, key, defaultValue, full.c_str());
}

}  // namespace platform

#endif  // _WIN32
