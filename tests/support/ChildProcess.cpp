#include "support/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <thread>

extern char** environ;

namespace testsupport {

ChildProcess::~ChildProcess() {
    if (running()) {
        ::kill(m_pid, SIGKILL);
        wait(std::chrono::seconds(10));
    }
}

bool ChildProcess::start(const std::filesystem::path& program, const std::vector<std::string>& args,
                         const std::filesystem::path& workDir, const std::map<std::string, std::string>& env) {
    // Everything the child needs is prepared before the fork.
    std::string prog = program.string();
    std::vector<std::string> copies = args;
    std::vector<char*> argv{prog.data()};
    for (auto& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::map<std::string, std::string> merged;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const auto eq = entry.find('=');
        if (eq != std::string::npos) merged[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    for (const auto& [name, value] : env) {
        if (value.empty()) {
            merged.erase(name);
        } else {
            merged[name] = value;
        }
    }
    std::vector<std::string> entries;
    for (const auto& [name, value] : merged) entries.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (auto& e : entries) envp.push_back(e.data());
    envp.push_back(nullptr);
    const std::string dir = workDir.string();
    const pid_t pid = ::fork();
    if (pid < 0) return false;
    if (pid == 0) {
        // Only async-signal-safe calls: the test may run threads.
        const int devNull = ::open("/dev/null", O_RDWR);
        ::dup2(devNull, STDIN_FILENO);
        ::dup2(devNull, STDOUT_FILENO);
        ::dup2(devNull, STDERR_FILENO);
        if (::chdir(dir.c_str()) != 0) ::_exit(126);
        ::execve(prog.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    m_pid = pid;
    m_exit.reset();
    return true;
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
    if (m_pid <= 0 || m_exit) return m_exit;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(m_pid, &status, WNOHANG);
        if (r == m_pid) {
            m_exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            return m_exit;
        }
        if (r < 0 && errno != EINTR) return std::nullopt;
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void ChildProcess::signal(int sig) {
    if (running()) ::kill(m_pid, sig);
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace testsupport
