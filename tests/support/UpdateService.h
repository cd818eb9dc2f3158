// The reference update service (tools/update-service) as a child process for
// the length of one test: started with the given options on a free loopback
// port; its first line of output is its base URL. Stopped with SIGTERM in the
// destructor.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "support/ChildProcess.h"

namespace testsupport {

class UpdateService {
public:
    // Waits at most 30 s for the base URL; base() is empty when none came.
    explicit UpdateService(const std::vector<std::string>& args);

    // "http://127.0.0.1:<port>/"
    const std::string& base() const { return m_base; }
    // "127.0.0.1:<port>", empty without a base URL.
    std::string hostAndPort() const;

private:
    ChildProcess m_process;
    std::string m_base;
};

// "<event> <ver>" of each event the service recorded in `eventsFile` (its
// --events option), in order.
std::vector<std::string> recordedEvents(const std::filesystem::path& eventsFile);

}  // namespace testsupport
