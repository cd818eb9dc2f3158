// A program of the project running beside the test: started in the
// background, its standard output read line by line, stopped (SIGTERM,
// then SIGKILL) when the object goes. Its standard input is a pipe the test
// can write commands into; closing it is the program's cue to end.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

class Child {
public:
    // Starts `program` with `args` in `workDir`, with the current
    // environment plus `env` (an empty value unsets the variable). Standard
    // error goes to the test's own.
    Child(const std::filesystem::path& program, const std::vector<std::string>& args,
          const std::filesystem::path& workDir, const std::map<std::string, std::string>& env = {});
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool started() const { return m_pid > 0; }
    pid_t pid() const { return m_pid; }

    // The next line of standard output without its line end; nothing when
    // the program closed its output or `timeoutSeconds` passed first.
    std::optional<std::string> readLine(int timeoutSeconds = 30);
    // Writes `line` and a line end to the program's standard input.
    bool writeLine(const std::string& line);
    // Closes standard input and waits at most `timeoutSeconds` for the exit;
    // the exit code, or -1 when it had to be killed or did not exit normally.
    int finish(int timeoutSeconds = 30);

private:
    pid_t m_pid = -1;
    int m_in = -1;
    int m_out = -1;
    std::string m_buffer;
    std::optional<int> m_exit;
};

}  // namespace testsupport
