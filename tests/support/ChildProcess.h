// A program running as a child of the test (a service, a launcher, a window
// of another program, a run to completion): started in a folder with extra
// environment, its standard output read line by line with a time-out, its
// standard input a pipe the test can write commands into, watched for its
// exit with a time-out, signalled, stopped with SIGTERM (then SIGKILL) and
// its status collected. The destructor stops it. The runs to completion of
// support/Process.h are made of it.
//
// On Windows there are no signals: stop() asks a program to end through its
// stop event (common/StopRequest.h; the programs of ours that tests stop
// watch it), then ends it by TerminateProcess. A Linux program (an ELF file, given by its "Z:\..."
// path under Wine) runs through /bin/sh: Wine gives such a process no handle,
// so a small shell wrapper records its pid and its exit status in files that
// the test side watches, its standard output goes through a file, its
// standard input is empty (writeLine fails) and it is asked to end with
// SIGTERM by /bin/kill.
#pragma once

#ifndef _WIN32
#include <sys/types.h>
#endif

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

// Where the child's standard output and standard error go.
enum class ChildOutput {
    Pipe,             // output to the test (readLine, readAll); errors to the test's own
    PipeWithErrors,   // both to the test, mixed as they come
    Inherit,          // both to the test's own
    File,             // both appended to ChildOptions::outputFile
};

struct ChildOptions {
    std::filesystem::path workDir;  // empty: the test's own
    // Added to the current environment; an empty value unsets the variable.
    std::map<std::string, std::string> env;
    ChildOutput output = ChildOutput::Pipe;
    // Off for programs that are meant to die: no core file for each crash
    // (Linux only).
    bool coreDumps = true;
    std::filesystem::path outputFile;  // for ChildOutput::File
};

// The options of a child run in `workDir` with `env` added, its output to `output`.
ChildOptions childIn(const std::filesystem::path& workDir, const std::map<std::string, std::string>& env,
                     ChildOutput output = ChildOutput::Pipe);

class ChildProcess {
public:
    ChildProcess(const std::filesystem::path& program, const std::vector<std::string>& args,
                 const ChildOptions& options = {});
    ChildProcess(const std::filesystem::path& program, const std::vector<std::string>& args,
                 const std::filesystem::path& workDir, const std::map<std::string, std::string>& env = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

#ifdef _WIN32
    bool started() const;
    // The system's id of the process (for a Linux program: its Linux pid,
    // once its wrapper has recorded it).
    int pid() const;
#else
    bool started() const { return m_pid > 0; }
    pid_t pid() const { return m_pid; }
#endif
    // Started and not yet ended; collects the status when it just has.
    bool running();

    // The next line of standard output without its line end; nothing when
    // none came within `timeout` or the output ended first.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // Appends everything left on standard output to `out` until it ends
    // (true) or `timeout` passes (false).
    bool readAll(std::string& out, std::chrono::milliseconds timeout);
    // Writes `line` and a line end to the program's standard input.
    bool writeLine(const std::string& line);

    // Its exit code once it has ended within `timeout` (-1 when it did not
    // exit normally or was not started); nothing while it still runs.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    // Ends it at once (SIGKILL; TerminateProcess) and collects its end.
    void kill();
#ifndef _WIN32
    // For a program that stops itself (SIGSTOP) at a chosen point: waits at
    // most `timeout` for it to stop or end. True when it stopped (it stays
    // stopped), false when it ended (its status collected); nothing when it
    // did neither, and then it has been killed.
    std::optional<bool> waitStopOrEnd(std::chrono::milliseconds timeout);
    // The raw wait status (WIFSIGNALED, WTERMSIG...) once collected.
    std::optional<int> waitStatus() const { return m_status; }
    void signal(int sig);
#endif
    // Asks it to end unless it has ended (SIGTERM; on Windows the stop event)
    // and waits for it (SIGKILL, TerminateProcess, after ten seconds): its
    // exit code, or -1 when it did not exit normally (or was not started).
    int stop();

private:
#ifdef _WIN32
    struct Native;
    std::unique_ptr<Native> m_native;
#else
    pid_t m_pid = -1;
    int m_pidfd = -1;  // readable once the child has ended
    int m_in = -1;
    int m_out = -1;
    std::string m_buffer;  // read from standard output, not yet handed out
    std::optional<int> m_status;
#endif
};

}  // namespace testsupport
