// Runs a program of the project (or a system tool) to completion as a child
// process (a ChildProcess) for integration tests.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

struct RunResult {
    int exitCode = -1;  // -1 when it did not exit normally
    std::string output;  // standard output and standard error together
};

// Runs `program` with `args` in `workDir`, with the current environment plus
// `env` (an empty value unsets the variable). Waits at most `timeoutSeconds`,
// then kills the child and reports exit code -1.
RunResult runProgram(const std::filesystem::path& program, const std::vector<std::string>& args,
                     const std::filesystem::path& workDir, const std::map<std::string, std::string>& env = {},
                     int timeoutSeconds = 60);

#ifndef _WIN32
// For programs that are meant to die: runs `program` like runProgram, with
// core dumps off and its output left on the test's own, and returns the raw
// wait status (WIFSIGNALED/WTERMSIG tell how it ended); -1 when it had to be
// killed after `timeoutSeconds`.
int runForWaitStatus(const std::filesystem::path& program, const std::vector<std::string>& args,
                     const std::filesystem::path& workDir, const std::map<std::string, std::string>& env = {},
                     int timeoutSeconds = 60);
#endif

// Path of a program built by this build tree (e.g. "gamelauncher").
std::filesystem::path builtProgram(const std::string& relative);

}  // namespace testsupport
