// The build takes this file on Windows only; the guard keeps it empty where a
// folder-wide source list also hands it to another system's compiler.
#ifdef _WIN32

#include <windows.h>

#include <cerrno>

#include "platform/error.h"

namespace platform {

uint32_t lastError() { return static_cast<uint32_t>(::GetLastError()); }

// Portable callers name their few errors with the C library's numbers
// (ENAMETOOLONG for a path past its buffer); those become the system's own
// codes, so that a logged number means what every other logged number means.
// Any other value is taken as a system code already.
void setLastError(int code) {
    DWORD error;
    switch (code) {
        case ENAMETOOLONG: error = ERROR_FILENAME_EXCED_RANGE; break;
        case ENOENT: error = ERROR_FILE_NOT_FOUND; break;
        case EACCES: error = ERROR_ACCESS_DENIED; break;
        case ENOSPC: error = ERROR_DISK_FULL; break;
        case EINVAL: error = ERROR_INVALID_PARAMETER; break;
        default: error = static_cast<DWORD>(code); break;
    }
    ::SetLastError(error);
}

}  // namespace platform

#endif  // _WIN32
