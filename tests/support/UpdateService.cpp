#include "support/UpdateService.h"

#include "support/LinuxPrograms.h"
#include "support/TempHome.h"

namespace testsupport {

UpdateService::UpdateService(const std::vector<std::string>& args)
    : m_process(linuxProgram("tools/update-service/update-service"), args), m_base(m_process.readLine().value_or("")) {}

std::string UpdateService::hostAndPort() const {
    const std::string prefix = "http://";
    if (m_base.rfind(prefix, 0) != 0) return "";
    std::string rest = m_base.substr(prefix.size());
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    return rest;
}

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
