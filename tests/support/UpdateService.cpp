#include "support/UpdateService.h"

#include "support/Process.h"

namespace testsupport {

UpdateService::UpdateService(const std::vector<std::string>& args)
    : m_process(builtProgram("tools/update-service/update-service"), args), m_base(m_process.readLine()) {}

}  // namespace testsupport
