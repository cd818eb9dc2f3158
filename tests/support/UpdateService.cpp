#include "support/UpdateService.h"

#include "support/Process.h"

namespace testsupport {

UpdateService::UpdateService(const std::vector<std::string>& args)
    : m_process(builtProgram("tools/update-service/update-service"), args), m_base(m_process.readLine()) {}

std::string UpdateService::hostAndPort() const {
    const std::string prefix = "http://";
    if (m_base.rfind(prefix, 0) != 0) return "";
    std::string rest = m_base.substr(prefix.size());
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    return rest;
}

}  // namespace testsupport
