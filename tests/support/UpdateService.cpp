#include "support/UpdateService.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <gtest/gtest.h>

#include "support/Process.h"
#include "support/TempHome.h"

namespace testsupport {

namespace {

std::filesystem::path serviceProgram() {
#ifdef _WIN32
    // The service is a Linux program: the Windows tests run the Linux
    // build's, through Wine, by its Z: path.
    return std::filesystem::path(GL_LINUX_BUILD_DIR) / "tools/update-service/update-service";
#else
    return builtProgram("tools/update-service/update-service");
#endif
}

}  // namespace

UpdateService::UpdateService(const std::vector<std::string>& args)
    : m_process(serviceProgram(), args), m_base(m_process.readLine().value_or("")) {}

std::string UpdateService::hostAndPort() const {
    const std::string prefix = "http://";
    if (m_base.rfind(prefix, 0) != 0) return "";
    std::string rest = m_base.substr(prefix.size());
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    return rest;
}

#ifdef _WIN32
std::string servicePath(const std::filesystem::path& path) {
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
std::string servicePath(const std::filesystem::path& path) { return path.string(); }
#endif

std::vector<std::string> recordedEvents(const std::filesystem::path& eventsFile) {
    std::vector<std::string> out;
    const std::string text = readFile(eventsFile);
    std::size_t at = 0;
    while ((at = text.find("\"event\":\"", at)) != std::string::npos) {
        at += 9;
        std::string e = text.substr(at, text.find('"', at) - at);
        const std::size_t v = text.find("\"ver\":\"", at) + 7;
        out.push_back(e + " " + text.substr(v, text.find('"', v) - v));
    }
    return out;
}

}  // namespace testsupport
