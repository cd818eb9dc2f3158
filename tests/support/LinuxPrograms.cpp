#include "support/LinuxPrograms.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <gtest/gtest.h>

#include "support/Process.h"

namespace testsupport {

#ifdef _WIN32

std::filesystem::path linuxProgram(const std::string& relative) {
    return std::filesystem::path(GL_LINUX_BUILD_DIR) / relative;
}

std::string linuxPath(const std::filesystem::path& path) {
    // Wine's own export: the Unix file name of a Windows path, on the
    // process heap.
    using Fn = char*(CDECL*)(LPCWSTR);
    const FARPROC found = ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name");
    EXPECT_NE(found, nullptr) << "not running under Wine";
    if (found == nullptr) return path.string();
    char* unixName = reinterpret_cast<Fn>(reinterpret_cast<void*>(found))(std::filesystem::absolute(path).c_str());
    EXPECT_NE(unixName, nullptr) << path.string();
    if (unixName == nullptr) return path.string();
    std::string out(unixName);
    ::HeapFree(::GetProcessHeap(), 0, unixName);
    return out;
}

#else

std::filesystem::path linuxProgram(const std::string& relative) { return builtProgram(relative); }

std::string linuxPath(const std::filesystem::path& path) { return path.string(); }

#endif

}  // namespace testsupport
