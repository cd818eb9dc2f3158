// The reference update service (tools/update-service) as a child process
// for the length of one test; its first line of output is its base URL.
#pragma once

#include <string>
#include <vector>

#include "support/ChildProcess.h"

namespace testsupport {

class UpdateService {
public:
    explicit UpdateService(const std::vector<std::string>& args);
    // "http://127.0.0.1:<port>/", empty when it did not start.
    const std::string& base() const { return m_base; }

private:
    ChildProcess m_process;
    std::string m_base;
};

}  // namespace testsupport
