// The build takes this file on Windows only; the guard keeps it empty where a
// folder-wide source list also hands it to another system's compiler.
#if defined(_WIN32) && defined(GL_TEST_HOOKS)

#include <windows.h>

#include <string>

#include "platform/file_faults_system.h"
#include "platform/full_path_win.h"
#include "platform/text.h"

namespace platform::faults {

namespace {

// The final path of an open handle, without the "\\?\" the system puts
// before it; empty when the system cannot tell.
std::wstring finalPath(HANDLE h) {
    std::wstring out(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
        const DWORD n = ::GetFinalPathNameByHandleW(h, out.data(), static_cast<DWORD>(out.size()),
                                                    FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (n == 0) return {};
        if (n < out.size()) {
            out.resize(n);
            if (out.rfind(L"\\\\?\\UNC\\", 0) == 0) return L"\\" + out.substr(7);
            if (out.rfind(L"\\\\?\\", 0) == 0) return out.substr(4);
            return out;
        }
        out.assign(n, L'\0');
    }
    return {};
}

std::wstring resolveWide(const std::wstring& path) {
    std::wstring absolute;
    if (!fullPathName(path, absolute)) absolute = path;
    while (absolute.size() > 3 && absolute.back() == L'\\') absolute.pop_back();
    const std::size_t cut = absolute.rfind(L'\\');
    if (cut == std::wstring::npos) return absolute;
    std::wstring folder = absolute.substr(0, cut + 1);
    const std::wstring leaf = absolute.substr(cut + 1);
    const HANDLE h = ::CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        const std::wstring real = finalPath(h);
        ::CloseHandle(h);
        if (!real.empty()) folder = real.back() == L'\\' ? real : real + L'\\';
    }
    return folder + leaf;
}

// Names compare without letter case, as the file system compares them.
bool sameNames(const std::wstring& a, std::size_t length, const std::wstring& b) {
    return ::CompareStringOrdinal(a.data(), static_cast<int>(length), b.data(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

}  // namespace

char pathSeparator() { return '\\'; }

char scopeSeparator() { return ';'; }

// From the process's environment block: the C library's wide copy of it
// exists only in programs that start at wmain.
std::string environment(const char* name) {
    const std::wstring wideName = utf8ToWide(name);
    std::wstring value(64, L'\0');
    for (int attempt = 0; attempt < 3; ++attempt) {
        const DWORD n = ::GetEnvironmentVariableW(wideName.c_str(), value.data(), static_cast<DWORD>(value.size()));
        if (n == 0) return {};
        if (n < value.size()) {
            value.resize(n);
            return wideToUtf8(value);
        }
        value.assign(n, L'\0');
    }
    return {};
}

std::string resolve(const std::string& path) { return wideToUtf8(resolveWide(utf8ToWide(path))); }

std::string resolveFolder(const std::string& folder) {
    std::wstring real = resolveWide(utf8ToWide(folder));
    while (real.size() > 3 && real.back() == L'\\') real.pop_back();
    return wideToUtf8(real);
}

std::string pathOfHandle(NativeHandle handle) { return wideToUtf8(finalPath(handle)); }

bool inFolder(const std::string& path, const std::string& folder) {
    const std::wstring p = utf8ToWide(path);
    const std::wstring f = utf8ToWide(folder);
    if (f.empty()) return false;
    if (p.size() == f.size() && sameNames(p, p.size(), f)) return true;
    return p.size() > f.size() && sameNames(p, f.size(), f) && (f.back() == L'\\' || p[f.size()] == L'\\');
}

// Stops every thread of the process, as SIGSTOP does, for a test to end it
// there; ntdll's NtSuspendProcess is the one call that does. Should it be
// missing, this thread alone waits for the end.
void stopProcess() {
    using Fn = LONG(NTAPI*)(HANDLE);
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    const FARPROC found = ntdll != nullptr ? ::GetProcAddress(ntdll, "NtSuspendProcess") : nullptr;
    if (found != nullptr) reinterpret_cast<Fn>(reinterpret_cast<void*>(found))(::GetCurrentProcess());
    for (;;) ::Sleep(INFINITE);
}

void setFailure(FileOp op) {
    switch (op) {
        case FileOp::Create:
        case FileOp::Write:
        case FileOp::CreateFolder: ::SetLastError(ERROR_DISK_FULL); break;
        default: ::SetLastError(ERROR_IO_DEVICE); break;
    }
}

void writeReport(const std::string& path, const std::string& text) {
    const HANDLE h = ::CreateFileW(utf8ToWide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    std::size_t done = 0;
    while (done < text.size()) {
        DWORD w = 0;
        if (!::WriteFile(h, text.data() + done, static_cast<DWORD>(text.size() - done), &w, nullptr) || w == 0) break;
        done += w;
    }
    ::CloseHandle(h);
}

}  // namespace platform::faults

#endif  // _WIN32 && GL_TEST_HOOKS
