#include "support/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

namespace testsupport {

RunResult runProgram(const std::filesystem::path& program, const std::vector<std::string>& args,
                     const std::filesystem::path& workDir, const std::map<std::string, std::string>& env,
                     int timeoutSeconds) {
    RunResult result;
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return result;
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(out[0]);
        ::close(out[1]);
        return result;
    }
    if (pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(out[1], STDERR_FILENO);
        if (::chdir(workDir.c_str()) != 0) ::_exit(126);
        for (const auto& [name, value] : env) {
            if (value.empty()) {
                ::unsetenv(name.c_str());
            } else {
                ::setenv(name.c_str(), value.c_str(), 1);
            }
        }
        std::vector<char*> argv;
        std::string prog = program.string();
        argv.push_back(prog.data());
        std::vector<std::string> copies = args;
        for (auto& a : copies) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(prog.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    char buf[4096];
    bool killed = false;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            ::kill(pid, SIGKILL);
            killed = true;
            break;
        }
        pollfd p{out[0], POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0) continue;
        if (r == 0) continue;
        const ssize_t n = ::read(out[0], buf, sizeof buf);
        if (n <= 0) break;
        result.output.append(buf, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!killed && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    return result;
}

std::filesystem::path builtProgram(const std::string& relative) {
    return std::filesystem::path(GL_TEST_BINARY_DIR) / relative;
}

}  // namespace testsupport
