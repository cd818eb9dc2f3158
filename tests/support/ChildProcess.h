// A long-lived child process of the project for integration tests (a
// service, a sample launcher): started with its standard output on a pipe,
// read line by line with a time-out, watched for its exit with a time-out,
// signalled, stopped with SIGTERM and its exit status collected. The
// destructor stops it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

class ChildProcess {
public:
    ChildProcess(const std::filesystem::path& program, const std::vector<std::string>& args);
    // In `workDir`, with the current environment plus `env` (an empty value
    // unsets the variable).
    ChildProcess(const std::filesystem::path& program, const std::vector<std::string>& args,
                 const std::filesystem::path& workDir, const std::map<std::string, std::string>& env);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return m_pid > 0; }
    pid_t pid() const { return m_pid; }
    bool running() const { return m_pid > 0 && !m_exited; }
    // The next line of standard output without its line end; empty when none
    // came within `timeout` or the output ended.
    std::string readLine(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // Its exit code once it has exited within `timeout` (-1 when it did not
    // exit normally); nullopt while it still runs after the wait.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    void signal(int sig);
    // Sends SIGTERM unless it has ended and waits for it (SIGKILL after ten
    // seconds): its exit code, or -1 when it did not exit normally (or was
    // not started).
    int stop();

private:
    void launch(const std::filesystem::path& program, const std::vector<std::string>& args,
                const std::filesystem::path* workDir, const std::map<std::string, std::string>& env);

    pid_t m_pid = -1;
    int m_out = -1;
    int m_exitCode = -1;
    bool m_exited = false;
};

// Polls `condition` every few milliseconds until it holds or `timeout` has
// passed; for states of another process that give no signal of their own.
bool waitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(20));

}  // namespace testsupport
