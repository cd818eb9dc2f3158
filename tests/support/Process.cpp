#include "support/Process.h"

#include <algorithm>
#include <chrono>

#include "support/ChildProcess.h"

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

std::chrono::milliseconds left(Clock::time_point deadline) {
    return std::max(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()),
                    std::chrono::milliseconds(0));
}

}  // namespace

RunResult runProgram(const std::filesystem::path& program, const std::vector<std::string>& args,
                     const std::filesystem::path& workDir, const std::map<std::string, std::string>& env,
                     int timeoutSeconds) {
    RunResult result;
    const auto deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
    ChildProcess child(program, args, childIn(workDir, env, ChildOutput::PipeWithErrors));
    if (!child.started()) return result;
    std::optional<int> code;
    if (child.readAll(result.output, left(deadline))) code = child.wait(left(deadline));
    if (!code) {
        // Outlived its time: the run counts as failed.
        child.kill();
        return result;
    }
    result.exitCode = *code;
    return result;
}

#ifndef _WIN32
int runForWaitStatus(const std::filesystem::path& program, const std::vector<std::string>& args,
                     const std::filesystem::path& workDir, const std::map<std::string, std::string>& env,
                     int timeoutSeconds) {
    ChildOptions options = childIn(workDir, env, ChildOutput::Inherit);
    options.coreDumps = false;
    ChildProcess child(program, args, options);
    if (!child.started()) return -1;
    if (!child.wait(std::chrono::seconds(timeoutSeconds))) {
        child.kill();
        return -1;
    }
    return child.waitStatus().value_or(-1);
}
#endif

std::filesystem::path builtProgram(const std::string& relative) {
    return std::filesystem::path(GL_TEST_BINARY_DIR) / relative;
}

}  // namespace testsupport
