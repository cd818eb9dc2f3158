#include "support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

extern char** environ;

namespace testsupport {

ChildProcess::ChildProcess(const std::filesystem::path& program, const std::vector<std::string>& args) {
    launch(program, args, nullptr, {});
}

ChildProcess::ChildProcess(const std::filesystem::path& program, const std::vector<std::string>& args,
                           const std::filesystem::path& workDir, const std::map<std::string, std::string>& env) {
    launch(program, args, &workDir, env);
}

void ChildProcess::launch(const std::filesystem::path& program, const std::vector<std::string>& args,
                          const std::filesystem::path* workDir, const std::map<std::string, std::string>& env) {
    // Everything the child needs is made before the fork: the test may run
    // threads, so the child makes only async-signal-safe calls.
    const std::string path = program.string();
    std::vector<std::string> copies = args;
    std::vector<char*> argv{const_cast<char*>(path.c_str())};
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
    const std::string dir = workDir != nullptr ? workDir->string() : std::string();

    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    m_pid = ::fork();
    if (m_pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        if (!dir.empty() && ::chdir(dir.c_str()) != 0) ::_exit(126);
        ::execve(path.c_str(), argv.data(), envp.data());
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

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
    if (m_pid <= 0) return -1;
    if (m_exited) return m_exitCode;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(m_pid, &status, WNOHANG);
        if (r == m_pid) {
            m_exited = true;
            m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            return m_exitCode;
        }
        if (r < 0 && errno != EINTR) return std::nullopt;
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void ChildProcess::signal(int sig) {
    if (running()) ::kill(m_pid, sig);
}

int ChildProcess::stop() {
    if (m_pid <= 0 || m_exited) return m_exitCode;
    ::kill(m_pid, SIGTERM);
    if (!wait(std::chrono::seconds(10))) {
        ::kill(m_pid, SIGKILL);
        wait(std::chrono::seconds(10));
    }
    return m_exitCode;
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
