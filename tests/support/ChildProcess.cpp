#include "support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace testsupport {

ChildProcess::ChildProcess(const std::filesystem::path& program, const std::vector<std::string>& args) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    const std::string path = program.string();
    std::vector<std::string> copies = args;
    std::vector<char*> argv{const_cast<char*>(path.c_str())};
    for (auto& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    m_pid = ::fork();
    if (m_pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::execv(path.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    if (m_pid < 0) {
        ::close(out[0]);
        return;
    }
    m_out = out[0];
}

ChildProcess::~ChildProcess() {
    stop();
    if (m_out >= 0) ::close(m_out);
}

std::string ChildProcess::readLine(std::chrono::milliseconds timeout) {
    std::string line;
    if (m_out < 0) return line;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char c;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{m_out, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return {};
        if (::read(m_out, &c, 1) != 1) return {};
        if (c == '\n') return line;
        line.push_back(c);
    }
}

int ChildProcess::stop() {
    if (m_pid <= 0) return m_exitCode;
    ::kill(m_pid, SIGTERM);
    int status = 0;
    while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
    m_pid = -1;
    m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return m_exitCode;
}

}  // namespace testsupport
