// The build takes this file on Windows only; the guard keeps it empty where a
// folder-wide source list also hands it to another system's compiler.
#ifdef _WIN32

#include <windows.h>

#include <string>

#include "platform/marker.h"

namespace platform {

namespace {

// The session's own namespace: a marker says what runs for the user logged
// on here, and another session (another user on the same machine) can
// neither see it nor squat its name. The security is the creator's default,
// which grants the object to this user (and the system) only.
bool markerName(const char* name, std::wstring& out) {
    if (name == nullptr || name[0] == '\0') {
        ::SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    out = L"Local\\";
    for (const char* p = name; *p != '\0'; ++p) out += static_cast<wchar_t>(static_cast<unsigned char>(*p));
    return true;
}

}  // namespace

// Only the existence of the semaphore matters: nothing waits on it or
// releases it. The system removes it with its last handle, so a holder that
// dies leaves no stale marker behind.
Marker::Result Marker::acquire(const char* name) {
    if (held()) return Result::Acquired;
    std::wstring wide;
    if (!markerName(name, wide)) return Result::Failed;
    HANDLE semaphore = ::CreateSemaphoreW(nullptr, 1, 1, wide.c_str());
    if (semaphore == nullptr) return Result::Failed;
    UniqueHandle handle(semaphore);
    if (::GetLastError() == ERROR_ALREADY_EXISTS) {
        handle.reset();
        ::SetLastError(ERROR_ALREADY_EXISTS);
        return Result::AlreadyHeld;
    }
    m_handle = std::move(handle);
    return Result::Acquired;
}

void Marker::release() {
    m_handle.reset();
}

// Opening never creates: a probe that created the semaphore, even for an
// instant, made a launcher starting at that instant find it "already there"
// and exit, believing another copy ran.
MarkerState probeMarker(const char* name) {
    std::wstring wide;
    if (!markerName(name, wide)) return MarkerState::Failed;
    HANDLE semaphore = ::OpenSemaphoreW(SYNCHRONIZE, FALSE, wide.c_str());
    if (semaphore != nullptr) {
        ::CloseHandle(semaphore);
        return MarkerState::Held;
    }
    switch (::GetLastError()) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return MarkerState::Free;
        // It exists; that it is not ours to open changes nothing about that.
        case ERROR_ACCESS_DENIED:
            return MarkerState::Held;
        default:
            // Another kind of object under the name, or out of resources:
            // whether a holder exists cannot be told.
            return MarkerState::Failed;
    }
}

}  // namespace platform

#endif  // _WIN32
