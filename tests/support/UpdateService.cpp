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
    m_pid = ::fork();
    if (m_pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        std::vector<std::string> copies = args;
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (auto& a : copies) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
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
    if (!m_base.empty() && m_base.back() == '\n') {
        m_base.pop_back();
    } else {
        m_base.clear();
    }
}

UpdateService::~UpdateService() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
    }
}

std::string UpdateService::hostAndPort() const {
    const std::string prefix = "http://";
    if (m_base.rfind(prefix, 0) != 0) return "";
    std::string rest = m_base.substr(prefix.size());
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    return rest;
}

}  // namespace testsupport
