// The build takes this file on Windows only; the guard keeps it empty where a
// folder-wide source list also hands it to another system's compiler.
#ifdef _WIN32

#include <aclapi.h>
#include <shellapi.h>
#include <windows.h>

#include <string>
#include <vector>

#include "platform/native_handle.h"
#include "platform/process.h"

namespace platform {

uint32_t currentProcessId() {
    return static_cast<uint32_t>(::GetCurrentProcessId());
}

// A write past a size limit fails with its own error on this system; no
// signal ends the process.
void keepRunningPastFileSizeLimit() {}

bool moduleFileName(std::wstring& out) {
    // The name may be longer than MAX_PATH ("\\?\" names): grow until it fits.
    std::vector<wchar_t> buf(MAX_PATH);
    for (;;) {
        const DWORD n = ::GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
        if (n == 0) return false;
        if (n < buf.size()) {
            out.assign(buf.data(), n);
            return true;
        }
        if (buf.size() >= 32768) {
            ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return false;
        }
        buf.resize(buf.size() * 2);
    }
}

namespace {

// Missing from this toolchain's headers.
constexpr DWORD kErrorElevationRequired = 740;

// One argument as the C runtime's parser (CommandLineToArgvW) reads it back:
// in double quotes, a backslash run doubled where a quote follows it (the
// closing one included, so a folder ending in "\" does not swallow it), and
// an inner quote escaped. A folder with spaces arrives as one argument.
void appendQuoted(std::wstring& line, std::wstring_view arg) {
    line += L'"';
    std::size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') {
            line.append(backslashes * 2 + 1, L'\\');
        } else {
            line.append(backslashes, L'\\');
        }
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, L'\\');
    line += L'"';
}

// The SIDs that stand for "anyone": an allow entry that gives one of them
// write access is this system's group or other write bit.
bool isBroadSid(PSID sid) {
    static constexpr WELL_KNOWN_SID_TYPE kBroad[] = {WinWorldSid,         WinAuthenticatedUserSid, WinBuiltinUsersSid,
                                                     WinBuiltinGuestsSid, WinAnonymousSid,         WinInteractiveSid};
    for (WELL_KNOWN_SID_TYPE type : kBroad) {
        if (::IsWellKnownSid(sid, type)) return true;
    }
    return false;
}

bool isTrustedOwner(PSID owner) {
    if (::IsWellKnownSid(owner, WinLocalSystemSid) || ::IsWellKnownSid(owner, WinBuiltinAdministratorsSid)) {
        return true;
    }
    HANDLE process = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &process)) return false;
    DWORD size = 0;
    ::GetTokenInformation(process, TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> token(size);
    const bool ok = size > 0 && ::GetTokenInformation(process, TokenUser, token.data(), size, &size) &&
                    ::EqualSid(owner, reinterpret_cast<TOKEN_USER*>(token.data())->User.Sid);
    ::CloseHandle(process);
    return ok;
}

// A program another user may change could have been changed since it was
// checked, and would then run as the player: it is not started. The
// equivalent of the owner and group/other-write test on Linux: the owner is
// the player, the system or the administrators (an elevated install makes
// the latter the owner), and no allow entry grants a write to everyone,
// every user, guests or the anonymous logon; a missing list (a null DACL)
// grants everything to everyone. A full access check for every other
// account the machine may have is left out: the install folder lies below
// the player's own profile, whose list already keeps other accounts out;
// this catches a file or folder someone opened up on purpose. Unlike
// Linux, the list is not repaired here: which entries came from a parent
// folder is the system's business, and a wrong repair could lock the
// player out of his own game.
bool mayStart(HANDLE file) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD r = ::GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                      &owner, nullptr, &dacl, nullptr, &descriptor);
    if (r != ERROR_SUCCESS) {
        ::SetLastError(r);
        return false;
    }
    DWORD error = ERROR_SUCCESS;
    if (owner == nullptr || !isTrustedOwner(owner)) {
        error = ERROR_INVALID_OWNER;
    } else if (dacl == nullptr) {
        error = ERROR_ACCESS_DENIED;
    } else {
        constexpr ACCESS_MASK kWrites =
            GENERIC_ALL | GENERIC_WRITE | FILE_WRITE_DATA | FILE_APPEND_DATA | WRITE_DAC | WRITE_OWNER | DELETE;
        for (DWORD i = 0; i < dacl->AceCount && error == ERROR_SUCCESS; ++i) {
            void* ace = nullptr;
            if (!::GetAce(dacl, i, &ace)) continue;
            const auto* header = static_cast<const ACE_HEADER*>(ace);
            if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE) != 0) continue;
            const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
            PSID sid = const_cast<DWORD*>(&allowed->SidStart);
            if ((allowed->Mask & kWrites) != 0 && isBroadSid(sid)) error = ERROR_ACCESS_DENIED;
        }
    }
    ::LocalFree(descriptor);
    if (error == ERROR_SUCCESS) return true;
    ::SetLastError(error);
    return false;
}

// A program that asks for elevation in its manifest cannot be started by
// CreateProcess from a process that is not elevated; the shell asks the
// player instead, as a start through "open" always did.
bool startThroughShell(const std::wstring& exe, const std::wstring& parameter) {
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    info.lpVerb = L"open";
    info.lpFile = exe.c_str();
    info.lpParameters = parameter.c_str();
    info.nShow = SW_SHOW;
    return ::ShellExecuteExW(&info) != FALSE;
}

}  // namespace

bool spawnDetached(const std::wstring& exe, const std::wstring& argument) {
    std::wstring path = exe;
    for (wchar_t& c : path) {
        if (c == L'/') c = L'\\';
    }
    if (path.empty()) {
        ::SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    // Opened without following a reparse point: the install never makes
    // one, so a link in the program's place was put there by someone else.
    // Held open (no write or delete sharing) from the check to the start,
    // so that nobody can swap the file in between.
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ | READ_CONTROL, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const UniqueHandle held(file);
    // A device (NUL, CON, a pipe) first: it has no file information to ask
    // for, and is no program either.
    if (::GetFileType(file) != FILE_TYPE_DISK) {
        ::SetLastError(ERROR_BAD_EXE_FORMAT);
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(file, &info)) return false;
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        ::SetLastError(ERROR_CANT_ACCESS_FILE);
        return false;
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        ::SetLastError(ERROR_BAD_EXE_FORMAT);
        return false;
    }
    if (!mayStart(file)) return false;

    std::wstring commandLine;
    appendQuoted(commandLine, path);
    commandLine += L' ';
    appendQuoted(commandLine, argument);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOW;
    PROCESS_INFORMATION process{};
    // No handle of ours is inherited (a lock above all would stay held for
    // as long as the launcher runs); no console of ours either, and a group
    // of its own, so that a Ctrl+C meant for us does not end it. The
    // working folder is this process's own.
    if (!::CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                          DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup, &process)) {
        if (::GetLastError() != kErrorElevationRequired) return false;
        std::wstring parameter;
        appendQuoted(parameter, argument);
        return startThroughShell(path, parameter);
    }
    // Nothing is read back from the launcher: its handles go at once.
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return true;
}

}  // namespace platform

#endif  // _WIN32
