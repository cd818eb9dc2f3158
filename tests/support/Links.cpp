#include "support/Links.h"

#ifdef _WIN32
#include <windows.h>
#include <winioctl.h>

#include <cstring>
#include <vector>

#include "support/WaitUntil.h"
#endif

namespace fs = std::filesystem;

namespace testsupport {

#ifndef _WIN32

std::string plantLink(const fs::path& target, const fs::path& link, LinkKind kind) {
    std::error_code ec;
    if (kind == LinkKind::File) {
        fs::create_symlink(target, link, ec);
    } else {
        fs::create_directory_symlink(target, link, ec);
    }
    return ec ? "symlink: " + ec.message() : std::string();
}

bool runningUnderWine() {
    return false;
}

bool isLink(const fs::path& path) {
    std::error_code ec;
    return fs::is_symlink(path, ec);
}

#else

namespace {

using UnixFileName = char*(CDECL*)(LPCWSTR);

// Wine's own export: the Unix name of a Windows path. Absent on Windows.
UnixFileName wineUnixFileName() {
    const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    const FARPROC found = kernel != nullptr ? ::GetProcAddress(kernel, "wine_get_unix_file_name") : nullptr;
    return reinterpret_cast<UnixFileName>(reinterpret_cast<void*>(found));
}

std::string unixName(UnixFileName convert, const fs::path& path) {
    char* name = convert(path.wstring().c_str());
    if (name == nullptr) return {};
    std::string out(name);
    ::HeapFree(::GetProcessHeap(), 0, name);
    return out;
}

// Wine starts a Linux program given its Z: path, but hands back no handle
// to wait on: the shell touches a mark once ln is done, and the mark is
// awaited (the link itself cannot be looked for without disturbing its
// making: Wine does not show a link that leads nowhere).
std::string plantUnixLink(const fs::path& target, const fs::path& link) {
    const UnixFileName convert = wineUnixFileName();
    if (convert == nullptr) return "no symbolic link could be made";
    static int made = 0;
    const fs::path mark = fs::temp_directory_path() /
                          ("gl-link-" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(++made));
    const std::string from = unixName(convert, target);
    const std::string at = unixName(convert, link);
    const std::string done = unixName(convert, mark);
    if (from.empty() || at.empty() || done.empty()) return "no Unix name for " + link.string();
    // Wine splits the command line by the Windows rules; the shell then
    // reads the one argument in double quotes.
    const std::string line = "sh -c \"ln -s '" + from + "' '" + at + "'; touch '" + done + "'\"";
    std::wstring command(line.begin(), line.end());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (!::CreateProcessW(L"Z:\\bin\\sh", command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                          &started)) {
        return "cannot start sh: " + std::to_string(::GetLastError());
    }
    if (started.hProcess != nullptr) ::CloseHandle(started.hProcess);
    if (started.hThread != nullptr) ::CloseHandle(started.hThread);
    const bool finished = waitUntil([&] { return fs::exists(mark); });
    std::error_code ec;
    fs::remove(mark, ec);
    if (!finished) return "sh never finished making " + link.string();
    return isLink(link) ? std::string() : "ln made no link at " + link.string();
}

// A junction is an empty folder given a mount-point reparse point.
std::string plantJunction(const fs::path& target, const fs::path& link) {
    const std::wstring substitute = L"\\??\\" + fs::absolute(target).make_preferred().wstring();
    const std::wstring shown = fs::absolute(target).make_preferred().wstring();
    if (!::CreateDirectoryW(link.wstring().c_str(), nullptr)) {
        return "cannot make the junction's folder: " + std::to_string(::GetLastError());
    }
    const HANDLE h = ::CreateFileW(link.wstring().c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    DWORD error = ERROR_INVALID_HANDLE;
    bool set = false;
    if (h != INVALID_HANDLE_VALUE) {
        // REPARSE_DATA_BUFFER's mount-point form: tag, length, reserved, then
        // four offsets and lengths, then both names, each ended by a zero.
        const std::size_t names = (substitute.size() + 1 + shown.size() + 1) * sizeof(wchar_t);
        std::vector<unsigned char> buffer(8 + 8 + names, 0);
        const auto put16 = [&](std::size_t at, std::size_t value) {
            const WORD v = static_cast<WORD>(value);
            std::memcpy(buffer.data() + at, &v, sizeof v);
        };
        const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
        std::memcpy(buffer.data(), &tag, sizeof tag);
        put16(4, 8 + names);
        put16(8, 0);
        put16(10, substitute.size() * sizeof(wchar_t));
        put16(12, (substitute.size() + 1) * sizeof(wchar_t));
        put16(14, shown.size() * sizeof(wchar_t));
        std::memcpy(buffer.data() + 16, substitute.c_str(), substitute.size() * sizeof(wchar_t));
        std::memcpy(buffer.data() + 16 + (substitute.size() + 1) * sizeof(wchar_t), shown.c_str(),
                    shown.size() * sizeof(wchar_t));
        DWORD returned = 0;
        set = ::DeviceIoControl(h, FSCTL_SET_REPARSE_POINT, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr,
                                0, &returned, nullptr) != FALSE;
        error = ::GetLastError();
        ::CloseHandle(h);
    }
    if (set && isLink(link)) return {};
    ::RemoveDirectoryW(link.wstring().c_str());
    if (error == ERROR_NOT_SUPPORTED && wineUnixFileName() != nullptr) {
        return "Wine 8 makes no junction (FSCTL_SET_REPARSE_POINT answers ERROR_NOT_SUPPORTED)";
    }
    return "FSCTL_SET_REPARSE_POINT failed: " + std::to_string(error);
}

}  // namespace

bool runningUnderWine() {
    return wineUnixFileName() != nullptr;
}

std::string plantLink(const fs::path& target, const fs::path& link, LinkKind kind) {
    const fs::path at = fs::path(link).make_preferred();
    const fs::path to = fs::path(target).make_preferred();
    if (kind == LinkKind::Junction) return plantJunction(to, at);
    // Unprivileged creation needs the system's developer mode; Wine accepts
    // the call and makes nothing, which the check below sees.
    constexpr DWORD kUnprivileged = 0x2;  // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
    const DWORD flags = (kind == LinkKind::Folder ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) | kUnprivileged;
    if (::CreateSymbolicLinkW(at.wstring().c_str(), to.wstring().c_str(), flags)) {
        const DWORD attributes = ::GetFileAttributesW(at.wstring().c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return {};
    }
    return plantUnixLink(to, at);
}

// A reparse point by the listing's attributes. Wine marks only its links to
// folders so; a link to a file shows as the file it leads to (the name the
// system gives the open entry then differs from its path), and one that
// leads nowhere is not shown at all.
bool isLink(const fs::path& path) {
    const std::wstring name = fs::path(path).make_preferred().wstring();
    // The folder's listing, which also holds a link that leads nowhere.
    const fs::path full = fs::absolute(fs::path(name));
    const std::wstring leaf = full.filename().wstring();
    WIN32_FIND_DATAW found{};
    const HANDLE find = ::FindFirstFileW((full.parent_path() / L"*").wstring().c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return false;
    bool listed = false;
    do {
        listed = ::CompareStringOrdinal(found.cFileName, -1, leaf.c_str(), -1, TRUE) == CSTR_EQUAL;
    } while (!listed && ::FindNextFileW(find, &found));
    ::FindClose(find);
    if (!listed) {
        // Wine lists no link that leads nowhere, and opens none; only an
        // exclusive create finds the name taken. (Should the name be free,
        // what that create made goes again at once.)
        const HANDLE made =
            ::CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (made != INVALID_HANDLE_VALUE) {
            ::CloseHandle(made);
            ::DeleteFileW(name.c_str());
            return false;
        }
        return ::GetLastError() == ERROR_FILE_EXISTS;
    }
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return true;
    const HANDLE h =
        ::CreateFileW(name.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    std::wstring actual(32768, L'\0');
    const DWORD n = ::GetFinalPathNameByHandleW(h, actual.data(), static_cast<DWORD>(actual.size()),
                                                FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    ::CloseHandle(h);
    if (n == 0 || n >= actual.size()) return false;
    actual.resize(n);
    if (actual.rfind(L"\\\\?\\", 0) == 0) actual.erase(0, 4);
    const std::wstring expected = fs::absolute(fs::path(name)).make_preferred().wstring();
    return ::CompareStringOrdinal(actual.c_str(), -1, expected.c_str(), -1, TRUE) != CSTR_EQUAL;
}

#endif

}  // namespace testsupport
