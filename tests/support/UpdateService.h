// The reference update service (tools/update-service) as a child process for
// the length of one test: started with the given options on a free loopback
// port, stopped with SIGTERM and reaped in the destructor.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace testsupport {

class UpdateService {
public:
    // Waits at most 30 s for the service to print its base URL; base() is
    // empty when it did not.
    explicit UpdateService(const std::vector<std::string>& args);
    ~UpdateService();
    UpdateService(const UpdateService&) = delete;
    UpdateService& operator=(const UpdateService&) = delete;

    // "http://127.0.0.1:<port>/"
    const std::string& base() const { return m_base; }
    // "127.0.0.1:<port>"
    std::string hostAndPort() const;

private:
    pid_t m_pid = -1;
    std::string m_base;
};

}  // namespace testsupport
