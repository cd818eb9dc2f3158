// A long-lived child process of the project for integration tests: started
// with its standard output on a pipe, read line by line with a time-out,
// stopped with SIGTERM, its exit status collected. The destructor stops it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

class ChildProcess {
public:
    ChildProcess(const std::filesystem::path& program, const std::vector<std::string>& args);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return m_pid > 0; }
    // The next line of standard output without its line end; empty when none
    // came within `timeout` or the output ended.
    std::string readLine(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // Sends SIGTERM unless it has ended and waits for it: its exit code, or
    // -1 when it did not exit normally (or was not started).
    int stop();

private:
    pid_t m_pid = -1;
    int m_out = -1;
    int m_exitCode = -1;
};

}  // namespace testsupport
