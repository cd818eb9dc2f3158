// The build takes this file on Windows only; the guard keeps it empty where a
// folder-wide source list also hands it to another system's compiler.
#if defined(_WIN32) && defined(GL_TEST_HOOKS)

#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cwchar>
#include <mutex>
#include <string>
#include <vector>

#include "platform/file_faults.h"
#include "platform/text.h"

namespace platform {

namespace {

const char* opName(FileOp op) {
    switch (op) {
        case FileOp::Create: return "create";
        case FileOp::Write: return "write";
        case FileOp::Rename: return "rename";
        case FileOp::Truncate: return "truncate";
        case FileOp::SetAttributes: return "set-attributes";
        case FileOp::Delete: return "delete";
        case FileOp::CreateFolder: return "create-folder";
    }
    return "?";
}

// A full disk for what takes room, a failing one for the rest.
DWORD errorFor(FileOp op) {
    switch (op) {
        case FileOp::Create:
        case FileOp::Write:
        case FileOp::CreateFolder: return ERROR_DISK_FULL;
        default: return ERROR_IO_DEVICE;
    }
}

// From the process's environment block: the C library's wide copy of it
// exists only in programs that start at wmain.
std::wstring environment(const wchar_t* name) {
    std::wstring value(64, L'\0');
    for (int attempt = 0; attempt < 3; ++attempt) {
        const DWORD n = ::GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
        if (n == 0) return {};
        if (n < value.size()) {
            value.resize(n);
            return value;
        }
        value.assign(n, L'\0');
    }
    return {};
}

uint64_t readNumber(const wchar_t* name) {
    const std::wstring text = environment(name);
    if (text.empty()) return 0;
    wchar_t* end = nullptr;
    const unsigned long long n = std::wcstoull(text.c_str(), &end, 10);
    return (end != nullptr && *end == L'\0') ? static_cast<uint64_t>(n) : 0;
}

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

// Links, junctions, "." and ".." in a path must not hide that it lies in
// scope: the folder part is resolved, the last level kept as it is (it may
// not exist yet).
std::wstring resolve(const std::wstring& path) {
    std::wstring absolute(MAX_PATH, L'\0');
    DWORD n = ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(absolute.size()), absolute.data(), nullptr);
    if (n >= absolute.size()) {
        absolute.assign(n, L'\0');
        n = ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(absolute.size()), absolute.data(), nullptr);
    }
    absolute = n > 0 && n < absolute.size() ? absolute.substr(0, n) : path;
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

std::wstring resolveFolder(const std::wstring& folder) {
    std::wstring real = resolve(folder);
    while (real.size() > 3 && real.back() == L'\\') real.pop_back();
    return real;
}

// The path of an open file or folder, as resolve() spells one.
std::wstring pathOfHandle(NativeHandle h) { return finalPath(h); }

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

class FileFaults {
public:
    FileFaults() {
        m_failAt = readNumber(L"GL_TEST_FAIL_FILE_OP");
        m_stopAt = readNumber(L"GL_TEST_STOP_AT_FILE_OP");
        m_reportPath = environment(L"GL_TEST_FILE_OP_COUNT");
        // ';' separates the folders here: ':' follows every drive letter.
        const std::wstring list = environment(L"GL_TEST_FILE_OP_SCOPE");
        std::size_t at = 0;
        while (!list.empty() && at <= list.size()) {
            std::size_t end = list.find(L';', at);
            if (end == std::wstring::npos) end = list.size();
            const std::wstring folder = list.substr(at, end - at);
            if (!folder.empty()) m_scope.push_back(resolveFolder(folder));
            at = end + 1;
        }
        m_active = m_failAt != 0 || m_stopAt != 0 || !m_reportPath.empty();
        if (!m_reportPath.empty()) std::atexit([] { instance().writeReport(); });
    }

    // Never destroyed: the report is written by an exit handler, which may
    // run after the destructors of static objects.
    static FileFaults& instance() {
        static FileFaults* const faults = new FileFaults;
        return *faults;
    }

    // `path` is only asked for when the operation counts at all.
    template <typename PathOf>
    bool check(FileOp op, PathOf pathOf) {
        if (!m_active) return false;
        const std::wstring path = pathOf();
        if (!inScope(path)) return false;
        uint64_t n;
        bool fail;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            n = ++m_count;
            fail = n == m_failAt;
            if (!m_reportPath.empty()) {
                m_lines.push_back(std::to_string(n) + " " + opName(op) + " " + wideToUtf8(path) +
                                  (fail ? " failed" : ""));
            }
        }
        if (n == m_stopAt) stopProcess();
        if (fail) ::SetLastError(errorFor(op));
        return fail;
    }

private:
    // Names compare without letter case, as the file system compares them.
    static bool sameNames(const std::wstring& a, std::size_t length, const std::wstring& b) {
        return ::CompareStringOrdinal(a.data(), static_cast<int>(length), b.data(), static_cast<int>(b.size()),
                                      TRUE) == CSTR_EQUAL;
    }

    bool inScope(const std::wstring& path) const {
        if (m_scope.empty()) return true;
        for (const std::wstring& folder : m_scope) {
            if (path.size() == folder.size() && sameNames(path, path.size(), folder)) return true;
            if (path.size() > folder.size() && sameNames(path, folder.size(), folder) &&
                (folder.back() == L'\\' || path[folder.size()] == L'\\')) {
                return true;
            }
        }
        return false;
    }

    // Raw calls: the report is no operation of the program's.
    void writeReport() {
        std::string text;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            text = "operations " + std::to_string(m_count) + "\n";
            for (const std::string& line : m_lines) text += line + "\n";
        }
        const HANDLE h = ::CreateFileW(m_reportPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) return;
        std::size_t done = 0;
        while (done < text.size()) {
            DWORD w = 0;
            if (!::WriteFile(h, text.data() + done, static_cast<DWORD>(text.size() - done), &w, nullptr) || w == 0) {
                break;
            }
            done += w;
        }
        ::CloseHandle(h);
    }

    uint64_t m_failAt = 0;
    uint64_t m_stopAt = 0;
    std::wstring m_reportPath;
    std::vector<std::wstring> m_scope;
    bool m_active = false;
    std::mutex m_mutex;
    uint64_t m_count = 0;
    std::vector<std::string> m_lines;
};

// Reads the environment before main: a run without counted operations still
// writes its report.
[[maybe_unused]] const bool g_loaded = (FileFaults::instance(), true);

}  // namespace

// `systemPath` is the UTF-8 form of the wide system path (file_win.cpp).
bool injectFileFault(FileOp op, const std::string& systemPath) {
    return FileFaults::instance().check(op, [&] { return resolve(utf8ToWide(systemPath)); });
}

bool injectFileFaultOnHandle(FileOp op, NativeHandle file) {
    return FileFaults::instance().check(op, [&] { return pathOfHandle(file); });
}

bool injectFileFaultAt(FileOp op, NativeHandle folder, const std::string& leaf) {
    return FileFaults::instance().check(op, [&] { return pathOfHandle(folder) + L"\\" + utf8ToWide(leaf); });
}

}  // namespace platform

#endif  // _WIN32 && GL_TEST_HOOKS
