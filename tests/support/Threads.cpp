#include "support/Threads.h"

#ifdef _WIN32
#include <windows.h>
// windows.h first: tlhelp32.h needs its types.
#include <tlhelp32.h>

#include <gtest/gtest.h>
#else
#include <filesystem>

#include "support/TempHome.h"
#endif

namespace testsupport {

#ifdef _WIN32
std::vector<std::string> threadNames() {
    using GetDescription = HRESULT(WINAPI*)(HANDLE, PWSTR*);
    const FARPROC found = ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "GetThreadDescription");
    EXPECT_NE(found, nullptr);
    const auto getDescription = reinterpret_cast<GetDescription>(reinterpret_cast<void*>(found));
    const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    EXPECT_NE(snapshot, INVALID_HANDLE_VALUE);
    std::vector<std::string> names;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Thread32First(snapshot, &entry); more; more = ::Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID != ::GetCurrentProcessId()) continue;
        std::string name;
        const HANDLE thread = found != nullptr
                                  ? ::OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ThreadID)
                                  : nullptr;
        if (thread != nullptr) {
            PWSTR description = nullptr;
            if (SUCCEEDED(getDescription(thread, &description)) && description != nullptr) {
                // The names are ASCII.
                for (const wchar_t* c = description; *c != L'\0'; ++c) name += static_cast<char>(*c);
                ::LocalFree(description);
            }
            ::CloseHandle(thread);
        }
        names.push_back(std::move(name));
    }
    ::CloseHandle(snapshot);
    return names;
}
#else
std::vector<std::string> threadNames() {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/task", error)) {
        std::string name = readFile(e.path() / "comm");
        if (!name.empty() && name.back() == '\n') name.pop_back();
        names.push_back(std::move(name));
    }
    return names;
}
#endif

}  // namespace testsupport
