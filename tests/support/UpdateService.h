// The reference update service (tools/update-service) as a child process
// for the length of one test: started with the given options, its base URL
// read from its first output line, stopped with SIGTERM and reaped by the
// destructor.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace testsupport {

class UpdateService {
public:
    explicit UpdateService(const std::vector<std::string>& args);
    ~UpdateService();
    UpdateService(const UpdateService&) = delete;
    UpdateService& operator=(const UpdateService&) = delete;

    // "http://127.0.0.1:<port>/", empty when it did not start.
    const std::string& base() const { return m_base; }

private:
    pid_t m_pid = -1;
    std::string m_base;
};

}  // namespace testsupport
