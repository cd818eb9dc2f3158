#include "support/Child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

#include "support/Process.h"

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// waitpid with a deadline: a pidfd becomes readable when the child ends.
std::optional<int> waitFor(pid_t pid, Clock::time_point deadline) {
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (fd >= 0) {
        pollfd p{fd, POLLIN, 0};
        while (::poll(&p, 1, msLeft(deadline)) < 0) {
        }
        ::close(fd);
    }
    int status = 0;
    const pid_t r = ::waitpid(pid, &status, fd >= 0 ? WNOHANG : 0);
    if (r == 0) return std::nullopt;
    if (r < 0) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

Child::Child(const std::filesystem::path& program, const std::vector<std::string>& args,
             const std::filesystem::path& workDir, const std::map<std::string, std::string>& env) {
    // A command written after the program ended must fail, not end the test.
    ::signal(SIGPIPE, SIG_IGN);
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return;
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        return;
    }
    std::vector<std::string> argvText{program.string()};
    argvText.insert(argvText.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argvText) argv.push_back(a.data());
    argv.push_back(nullptr);
    m_pid = ::fork();
    if (m_pid == 0) {
        ::dup2(in[0], STDIN_FILENO);
        ::dup2(out[1], STDOUT_FILENO);
        enterChildContext(workDir, env);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    if (m_pid < 0) {
        ::close(in[1]);
        ::close(out[0]);
        return;
    }
    m_in = in[1];
    m_out = out[0];
}

Child::~Child() {
    if (m_pid > 0 && !m_exit) {
        ::kill(m_pid, SIGTERM);
        if (!waitFor(m_pid, Clock::now() + std::chrono::seconds(5))) {
            ::kill(m_pid, SIGKILL);
            waitFor(m_pid, Clock::now() + std::chrono::seconds(5));
        }
    }
    if (m_in >= 0) ::close(m_in);
    if (m_out >= 0) ::close(m_out);
}

std::optional<std::string> Child::readLine(int timeoutSeconds) {
    const auto deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
    for (;;) {
        const auto nl = m_buffer.find('\n');
        if (nl != std::string::npos) {
            std::string line = m_buffer.substr(0, nl);
            m_buffer.erase(0, nl + 1);
            return line;
        }
        if (m_out < 0) return std::nullopt;
        pollfd p{m_out, POLLIN, 0};
        const int r = ::poll(&p, 1, msLeft(deadline));
        if (r == 0) return std::nullopt;
        if (r < 0) continue;
        char buf[1024];
        const ssize_t n = ::read(m_out, buf, sizeof buf);
        if (n <= 0) {
            ::close(m_out);
            m_out = -1;
            continue;
        }
        m_buffer.append(buf, static_cast<std::size_t>(n));
    }
}

bool Child::writeLine(const std::string& line) {
    if (m_in < 0) return false;
    const std::string text = line + "\n";
    return ::write(m_in, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

int Child::finish(int timeoutSeconds) {
    if (m_exit) return *m_exit;
    if (m_pid <= 0) return -1;
    if (m_in >= 0) {
        ::close(m_in);
        m_in = -1;
    }
    auto code = waitFor(m_pid, Clock::now() + std::chrono::seconds(timeoutSeconds));
    if (!code) {
        ::kill(m_pid, SIGKILL);
        waitFor(m_pid, Clock::now() + std::chrono::seconds(5));
        code = -1;
    }
    m_exit = *code;
    return *code;
}

}  // namespace testsupport
