// A program of the project running beside a test (a sample launcher, a
// service): started in the background, asked to stop, waited for with a
// time-out, and killed in the destructor if it still runs.
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
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts `program` with `args` in `workDir`, with the current environment
    // plus `env` (an empty value unsets the variable); standard output and
    // error go to /dev/null. False when it could not be started.
    bool start(const std::filesystem::path& program, const std::vector<std::string>& args,
               const std::filesystem::path& workDir, const std::map<std::string, std::string>& env = {});
    // Its exit code once it has exited within `timeout` (-1 for a death by
    // signal); nullopt while it still runs after the wait.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    void signal(int sig);
    bool running() const { return m_pid > 0 && !m_exit; }
    pid_t pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
    std::optional<int> m_exit;
};

// Polls `condition` every few milliseconds until it holds or `timeout` has
// passed; for states of another process that give no signal of their own.
bool waitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(20));

}  // namespace testsupport
