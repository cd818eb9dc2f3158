// Stands in for the crash sender in the crash tests: records how it was
// started, its arguments one a line, in a file of its own (named after its
// process id) in the folder GL_FAKE_SENDER_RECORDS names, and exits.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <string>

int main() {
    wchar_t folder[1024];
    const DWORD n = ::GetEnvironmentVariableW(L"GL_FAKE_SENDER_RECORDS", folder, 1024);
    if (n == 0 || n >= 1024) return 2;
    int argc = 0;
    wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    if (argv == nullptr) return 2;
    std::wstring text;
    for (int i = 0; i < argc; ++i) text += std::wstring(argv[i]) + L"\n";
    ::LocalFree(argv);
    const std::wstring name = std::wstring(folder, n) + L"\\" + std::to_wstring(::GetCurrentProcessId());
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                            nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), utf8.data(), bytes, nullptr,
                          nullptr);
    // Written under a temporary name and renamed, so a reader never sees half.
    const std::wstring partial = name + L".part";
    FILE* f = ::_wfopen(partial.c_str(), L"wb");
    if (f == nullptr) return 2;
    std::fwrite(utf8.data(), 1, utf8.size(), f);
    std::fclose(f);
    return ::MoveFileW(partial.c_str(), name.c_str()) ? 0 : 2;
}
