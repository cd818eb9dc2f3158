// The build takes this file on Windows only; the guard keeps it empty where a
// folder-wide source list also hands it to another system's compiler.
#ifdef _WIN32

#include <windows.h>
// windows.h first: the shell's headers need its types.
#include <knownfolders.h>
#include <objbase.h>
#include <shlobj.h>

#include <string>

#include "platform/folders.h"

namespace platform {

namespace {

// An HRESULT as a last error the log can show: the system's own code when it
// carries one, else the HRESULT itself.
void setErrorFromResult(HRESULT hr) {
    ::SetLastError(HRESULT_FACILITY(hr) == FACILITY_WIN32 ? static_cast<DWORD>(HRESULT_CODE(hr))
                                                          : static_cast<DWORD>(hr));
}

bool knownFolder(REFKNOWNFOLDERID id, std::wstring& out) {
    PWSTR path = nullptr;
    // KF_FLAG_CREATE makes the folder, and every missing parent, when the
    // profile does not have it yet.
    const HRESULT hr = ::SHGetKnownFolderPath(id, KF_FLAG_CREATE, nullptr, &path);
    if (FAILED(hr) || path == nullptr) {
        ::CoTaskMemFree(path);
        setErrorFromResult(FAILED(hr) ? hr : E_FAIL);
        return false;
    }
    std::wstring folder(path);
    ::CoTaskMemFree(path);
    while (folder.size() > 3 && (folder.back() == L'\\' || folder.back() == L'/')) folder.pop_back();
    // The shell can answer with the profile's path although a file stands
    // there and no folder could be made; every caller would then fail later
    // with a path that only looks right.
    const DWORD attributes = ::GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        ::SetLastError(ERROR_DIRECTORY);
        return false;
    }
    out = std::move(folder);
    return true;
}

}  // namespace

bool roamingAppDataFolder(std::wstring& out) { return knownFolder(FOLDERID_RoamingAppData, out); }

bool localAppDataFolder(std::wstring& out) { return knownFolder(FOLDERID_LocalAppData, out); }

// On Windows the markers and the launcher's objects are named kernel objects,
// not files: their "folder" is the namespace of the logon session, "Local".
// The system gives every session its own, readable and writable by that
// session's user only, so another user on the same machine can neither see
// the objects nor create one first under the same name; nothing needs
// checking or making, as the POSIX folder does.
bool runtimeFolder(std::string& out) {
    out = "Local";
    return true;
}

}  // namespace platform

#endif  // _WIN32
