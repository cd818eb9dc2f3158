#include "support/ChildProcess.h"

// The Windows side is ChildProcess_win.cpp.
#ifndef _WIN32

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// What comes of one read from the child's output.
enum class Read { Data, Ended, TimedOut };

Read readSome(int& fd, std::string& into, Clock::time_point deadline) {
    if (fd < 0) return Read::Ended;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, msLeft(deadline));
        if (r < 0 && errno == EINTR) continue;
        if (r == 0) return Read::TimedOut;
        char buf[4096];
        const ssize_t n = r > 0 ? ::read(fd, buf, sizeof buf) : -1;
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            closeFd(fd);
            return Read::Ended;
        }
        into.append(buf, static_cast<std::size_t>(n));
        return Read::Data;
    }
}

int exitCodeOf(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// In a child between fork and exec: moves into `workDir` (the child ends
// with 126 when it cannot; an empty one stays) and applies `env` to the
// inherited environment (an empty value unsets the variable).
void enterChildContext(const std::filesystem::path& workDir, const std::map<std::string, std::string>& env) {
    if (!workDir.empty() && ::chdir(workDir.c_str()) != 0) ::_exit(126);
    for (const auto& [name, value] : env) {
        if (value.empty()) {
            ::unsetenv(name.c_str());
        } else {
            ::setenv(name.c_str(), value.c_str(), 1);
        }
    }
}

}  // namespace

ChildOptions childIn(const std::filesystem::path& workDir, const std::map<std::string, std::string>& env,
                     ChildOutput output) {
    ChildOptions options;
    options.workDir = workDir;
    options.env = env;
    options.output = output;
    return options;
}

ChildProcess::ChildProcess(const std::filesystem::path& program, const std::vector<std::string>& args,
                           const std::filesystem::path& workDir, const std::map<std::string, std::string>& env)
    : ChildProcess(program, args, childIn(workDir, env)) {}

ChildProcess::ChildProcess(const std::filesystem::path& program, const std::vector<std::string>& args,
                           const ChildOptions& options) {
    // The argument list is made before the fork: between fork and exec the
    // child only moves and sets its environment.
    std::vector<std::string> argvText{program.string()};
    argvText.insert(argvText.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argvText) argv.push_back(a.data());
    argv.push_back(nullptr);

    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    const bool piped = options.output == ChildOutput::Pipe || options.output == ChildOutput::PipeWithErrors;
    if (::pipe2(in, O_CLOEXEC) != 0) return;
    if (piped && ::pipe2(out, O_CLOEXEC) != 0) {
        closeFd(in[0]);
        closeFd(in[1]);
        return;
    }
    m_pid = ::fork();
    if (m_pid == 0) {
        ::dup2(in[0], STDIN_FILENO);
        if (piped) ::dup2(out[1], STDOUT_FILENO);
        if (options.output == ChildOutput::PipeWithErrors) ::dup2(out[1], STDERR_FILENO);
        if (options.output == ChildOutput::File) {
            const int file = ::open(options.outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
            if (file >= 0) {
                ::dup2(file, STDOUT_FILENO);
                ::dup2(file, STDERR_FILENO);
            }
        }
        if (!options.coreDumps) {
            const rlimit none{0, 0};
            ::setrlimit(RLIMIT_CORE, &none);
        }
        enterChildContext(options.workDir, options.env);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    closeFd(in[0]);
    closeFd(out[1]);
    if (m_pid < 0) {
        closeFd(in[1]);
        closeFd(out[0]);
        return;
    }
    m_in = in[1];
    m_out = out[0];
    // Nothing else reaps it, so the pid is still this child's.
    m_pidfd = static_cast<int>(::syscall(SYS_pidfd_open, m_pid, 0));
}

ChildProcess::~ChildProcess() {
    stop();
    closeFd(m_in);
    closeFd(m_out);
    closeFd(m_pidfd);
}

bool ChildProcess::running() {
    return m_pid > 0 && !wait(std::chrono::milliseconds(0)).has_value();
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const auto nl = m_buffer.find('\n');
        if (nl != std::string::npos) {
            std::string line = m_buffer.substr(0, nl);
            m_buffer.erase(0, nl + 1);
            return line;
        }
        if (readSome(m_out, m_buffer, deadline) != Read::Data) return std::nullopt;
    }
}

bool ChildProcess::readAll(std::string& out, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    out += m_buffer;
    m_buffer.clear();
    for (;;) {
        switch (readSome(m_out, out, deadline)) {
            case Read::Data:
                break;
            case Read::Ended:
                return true;
            case Read::TimedOut:
                return false;
        }
    }
}

bool ChildProcess::writeLine(const std::string& line) {
    if (m_in < 0) return false;
    // A command written after the program ended must fail, not end the test.
    ::signal(SIGPIPE, SIG_IGN);
    const std::string text = line + "\n";
    return ::write(m_in, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
    if (m_pid <= 0) return -1;
    if (m_status) return exitCodeOf(*m_status);
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(m_pid, &status, WNOHANG);
        if (r == m_pid) {
            m_status = status;
            closeFd(m_pidfd);
            return exitCodeOf(status);
        }
        if (r < 0 && errno != EINTR) return std::nullopt;
        const int left = msLeft(deadline);
        if (left == 0) return std::nullopt;
        if (m_pidfd >= 0) {
            pollfd p{m_pidfd, POLLIN, 0};
            ::poll(&p, 1, left);
        } else {
            // A kernel without pidfds gives nothing to wait on: look again.
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min(left, 5)));
        }
    }
}

std::optional<bool> ChildProcess::waitStopOrEnd(std::chrono::milliseconds timeout) {
    if (m_pid <= 0 || m_status) return false;
    // Only waitpid tells of a stop, and it has no time-out: a watchdog ends
    // the wait by SIGKILL when the time is up.
    std::mutex lock;
    std::condition_variable settled;
    bool done = false;
    bool hung = false;
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> l(lock);
        if (!settled.wait_for(l, timeout, [&] { return done; })) {
            hung = true;
            ::kill(m_pid, SIGKILL);
        }
    });
    int status = 0;
    pid_t r;
    while ((r = ::waitpid(m_pid, &status, WUNTRACED)) < 0 && errno == EINTR) {
    }
    {
        std::lock_guard<std::mutex> l(lock);
        done = true;
    }
    settled.notify_all();
    watchdog.join();
    if (r != m_pid) return std::nullopt;
    if (WIFSTOPPED(status)) {
        if (!hung) return true;
        // Stopped just as the time ran out: the SIGKILL ends it all the same.
        wait(std::chrono::seconds(10));
        return std::nullopt;
    }
    m_status = status;
    closeFd(m_pidfd);
    if (hung) return std::nullopt;
    return false;
}

void ChildProcess::kill() {
    signal(SIGKILL);
    wait(std::chrono::seconds(10));
}

void ChildProcess::signal(int sig) {
    if (m_pid > 0 && !m_status) ::kill(m_pid, sig);
}

int ChildProcess::stop() {
    if (m_pid <= 0) return -1;
    if (!m_status) {
        ::kill(m_pid, SIGTERM);
        if (!wait(std::chrono::seconds(10))) {
            ::kill(m_pid, SIGKILL);
            wait(std::chrono::seconds(10));
        }
    }
    return m_status ? exitCodeOf(*m_status) : -1;
}

}  // namespace testsupport

#endif  // !_WIN32
