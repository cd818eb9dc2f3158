#include "support/UpdateService.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "support/Process.h"

namespace testsupport {

UpdateService::UpdateService(const std::vector<std::string>& args) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    const std::string program = builtProgram("tools/update-service/update-service").string();
    // Everything the child needs is made before the fork: a child of a
    // process with threads may only make async-signal-safe calls.
    std::vector<std::string> copies = args;
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (auto& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    m_pid = ::fork();
    if (m_pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    // The first line is the base URL; wait for it at most 30 s.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    char c;
    while (m_base.empty() || m_base.back() != '\n') {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{out[0], POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        if (::read(out[0], &c, 1) != 1) break;
        m_base.push_back(c);
    }
    ::close(out[0]);
    if (!m_base.empty() && m_base.back() == '\n') m_base.pop_back();
}

UpdateService::~UpdateService() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
    }
}

}  // namespace testsupport
