// The build takes this file on Windows only; the guard keeps it empty where a
// folder-wide source list also hands it to another system's compiler.
#ifdef _WIN32

#include <windows.h>

#include "platform/native_handle.h"

namespace platform {

// CloseHandle gives the handle up whether or not it reports a failure.
bool UniqueHandle::close() {
    if (!valid()) return true;
    return ::CloseHandle(std::exchange(m_handle, kInvalidHandle)) != FALSE;
}

void UniqueHandle::reset(NativeHandle handle) {
    if (handle == m_handle) return;
    const DWORD error = ::GetLastError();
    close();
    m_handle = handle;
    ::SetLastError(error);
}

}  // namespace platform

#endif  // _WIN32
