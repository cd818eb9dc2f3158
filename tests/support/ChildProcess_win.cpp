// The Windows side of support/ChildProcess.h. The build takes this file on
// Windows only.
#ifdef _WIN32

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cwctype>
#include <fstream>
#include <mutex>
#include <random>
#include <thread>

#include "common/StopRequest.h"
#include "support/ChildProcess.h"
#include "support/WaitUntil.h"

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

DWORD msLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<DWORD>(std::min<long long>(left, 0x7FFFFFFF)) : 0;
}

void closeHandle(HANDLE& h) {
    if (h != nullptr && h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
    h = nullptr;
}

// One argument as CommandLineToArgvW (and Wine's start of a Linux program)
// reads it back: quoted when it holds a blank or a quote or is empty
// (cmd.exe takes unquoted words as they are), backslashes doubled before a
// quote, inner quotes escaped.
void appendQuoted(std::wstring& line, const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) {
        line += arg;
        return;
    }
    line += L'"';
    std::size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        line.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, L'\\');
    line += L'"';
}

std::wstring upper(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towupper(c));
    return text;
}

// The current environment with `env` applied (an empty value removes the
// variable), as the sorted block CreateProcessW takes. Names compare without
// letter case, as the system's do.
std::wstring environmentBlock(const std::map<std::string, std::string>& env) {
    std::map<std::wstring, std::wstring> vars;  // upper-cased name -> "NAME=VALUE"
    wchar_t* current = ::GetEnvironmentStringsW();
    if (current != nullptr) {
        for (const wchar_t* p = current; *p != L'\0'; p += wcslen(p) + 1) {
            const std::wstring entry(p);
            // "=C:=C:\\..." entries keep the drives' current folders.
            const auto eq = entry.find(L'=', 1);
            vars[upper(entry.substr(0, eq))] = entry;
        }
        ::FreeEnvironmentStringsW(current);
    }
    for (const auto& [name, value] : env) {
        const std::wstring wideName(name.begin(), name.end());
        if (value.empty()) {
            vars.erase(upper(wideName));
        } else {
            vars[upper(wideName)] = wideName + L"=" + std::filesystem::path(value).wstring();
        }
    }
    std::wstring block;
    for (const auto& [key, entry] : vars) {
        block += entry;
        block += L'\0';
    }
    block += L'\0';
    return block;
}

bool isLinuxProgram(const std::filesystem::path& program) {
    std::ifstream in(program, std::ios::binary);
    char magic[4] = {};
    return in.read(magic, 4) && std::string(magic, 4) == "\x7f" "ELF";
}

// "Z:\a\b" or "Z:/a/b" as the Linux path "/a/b".
std::string linuxPath(const std::filesystem::path& path) {
    std::string text = path.string();
    std::replace(text.begin(), text.end(), '\\', '/');
    if (text.size() >= 2 && (text[0] == 'Z' || text[0] == 'z') && text[1] == ':') text.erase(0, 2);
    return text;
}

// Runs a Linux program to completion without looking at it (it only sends
// a signal and ends at once).
void runLinux(const std::wstring& program, const std::vector<std::wstring>& args) {
    std::wstring line;
    appendQuoted(line, program);
    for (const auto& a : args) {
        line += L' ';
        appendQuoted(line, a);
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (::CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
        closeHandle(info.hProcess);
        closeHandle(info.hThread);
    }
}

// A Linux program is run by this wrapper, which records the program's pid
// (the same after exec) and then its exit status, each by a rename so that
// a reader never sees half of it. $1 is the folder of the records.
constexpr const char* kLinuxWrapper =
    "d=$1; shift\n"
    "sh -c 'echo $$ > \"$0/pid.tmp\" && mv \"$0/pid.tmp\" \"$0/pid\" && exec \"$@\"' \"$d\" \"$@\"\n"
    "echo $? > \"$d/status.tmp\"; mv \"$d/status.tmp\" \"$d/status\"\n";

std::atomic<unsigned> g_children{0};

// The handles a child inherits are made inheritable only while it is
// created, one child at a time, so that no other child takes them along
// and keeps a pipe open.
std::mutex g_createLock;

HANDLE inheritableCopy(HANDLE h) {
    if (h == nullptr || h == INVALID_HANDLE_VALUE) return nullptr;
    HANDLE copy = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), h, ::GetCurrentProcess(), &copy, 0, TRUE, DUPLICATE_SAME_ACCESS)) {
        return nullptr;
    }
    return copy;
}

}  // namespace

struct ChildProcess::Native {
    bool started = false;
    HANDLE process = nullptr;  // none for a Linux program
    DWORD pid = 0;
    HANDLE in = nullptr;    // the test's end of standard input
    HANDLE out = nullptr;   // the test's end of standard output (a pipe, or the Linux program's output file)
    HANDLE readDone = nullptr;  // the event reads from `out` complete on
    HANDLE stopEvent = nullptr;  // kept until the program has ended, so that a late opener still sees it set
    bool isLinux = false;
    std::filesystem::path records;  // the Linux program's wrapper records ("Z:\tmp\...")
    std::optional<int> exitCode;
    std::string buffer;

    ~Native() {
        closeHandle(process);
        closeHandle(in);
        closeHandle(out);
        closeHandle(readDone);
        closeHandle(stopEvent);
        if (isLinux) {
            std::error_code ignored;
            std::filesystem::remove_all(records, ignored);
        }
    }

    bool linuxEnded() const { return std::filesystem::exists(records / "status"); }

    // What comes of one read from the output.
    enum class Read { Data, Ended, TimedOut };

    Read readSome(std::string& into, Clock::time_point deadline) {
        if (out == nullptr) return Read::Ended;
        char buf[4096];
        DWORD n = 0;
        if (isLinux) {
            // The output file grows while the program runs; its end is the
            // program's end.
            for (;;) {
                const bool ended = linuxEnded();
                if (::ReadFile(out, buf, sizeof buf, &n, nullptr) && n > 0) {
                    into.append(buf, n);
                    return Read::Data;
                }
                if (ended) return Read::Ended;
                if (msLeft(deadline) == 0) return Read::TimedOut;
                ::Sleep(std::min<DWORD>(msLeft(deadline), 5));
            }
        }
        OVERLAPPED ov{};
        ov.hEvent = readDone;
        if (!::ReadFile(out, buf, sizeof buf, nullptr, &ov)) {
            if (::GetLastError() != ERROR_IO_PENDING) {
                closeHandle(out);
                return Read::Ended;
            }
            // The program's end ends its output too: a program it started
            // may hold the pipe's writing end for as long as that one runs
            // (under Wine every child keeps its parent's standard error).
            // What the program wrote is in the pipe before it ends, and a
            // read finds it first (the lower index wins).
            const HANDLE waits[2] = {readDone, process};
            const DWORD woke = ::WaitForMultipleObjects(process != nullptr ? 2 : 1, waits, FALSE, msLeft(deadline));
            if (woke != WAIT_OBJECT_0) {
                ::CancelIoEx(out, &ov);
                // A read that completed while it was cancelled keeps its bytes.
                if (::GetOverlappedResult(out, &ov, &n, TRUE) && n > 0) {
                    into.append(buf, n);
                    return Read::Data;
                }
                if (woke == WAIT_OBJECT_0 + 1) {
                    closeHandle(out);
                    return Read::Ended;
                }
                return Read::TimedOut;
            }
        }
        if (!::GetOverlappedResult(out, &ov, &n, FALSE) || n == 0) {
            closeHandle(out);
            return Read::Ended;
        }
        into.append(buf, n);
        return Read::Data;
    }
};

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
                           const ChildOptions& options)
    : m_native(std::make_unique<Native>()) {
    Native& n = *m_native;
    const unsigned serial = g_children.fetch_add(1);
    // Windows process ids under Wine are small and the same in every
    // prefix, and /tmp is shared by every prefix on the machine: a random
    // part keeps two test runs from sharing a records folder.
    static const unsigned long long run = std::random_device{}() * 0x100000000ULL + std::random_device{}();
    const std::wstring tag =
        std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(run) + L"-" + std::to_wstring(serial);
    std::wstring exe = std::filesystem::path(program).make_preferred().wstring();
    std::vector<std::wstring> wideArgs;
    n.isLinux = isLinuxProgram(program);
    if (n.isLinux) {
        n.records = std::filesystem::path(L"Z:\\tmp\\gl-child-" + tag);
        std::error_code ignored;
        std::filesystem::remove_all(n.records, ignored);
        if (!std::filesystem::create_directories(n.records, ignored)) return;
        wideArgs = {L"-c", std::filesystem::path(kLinuxWrapper).wstring(), L"sh",
                    std::filesystem::path(linuxPath(n.records)).wstring(),
                    std::filesystem::path(linuxPath(program)).wstring()};
        exe = L"Z:\\bin\\sh";
    }
    for (const auto& a : args) wideArgs.push_back(std::filesystem::path(a).wstring());
    std::wstring line;
    appendQuoted(line, exe);
    for (const auto& a : wideArgs) {
        line += L' ';
        appendQuoted(line, a);
    }

    const std::lock_guard<std::mutex> lock(g_createLock);
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE childIn = nullptr, childOut = nullptr, childErr = nullptr;
    auto closeChildEnds = [&] {
        closeHandle(childIn);
        if (childErr != childOut) closeHandle(childErr);
        closeHandle(childOut);
    };
    // Standard input: a pipe whose writing end stays here. A Linux program
    // cannot be given a pipe of this system (Wine has no Linux descriptor
    // for it): it gets none.
    if (!n.isLinux && !::CreatePipe(&childIn, &n.in, &inherit, 0)) return;
    if (n.in != nullptr) ::SetHandleInformation(n.in, HANDLE_FLAG_INHERIT, 0);

    const bool piped = options.output == ChildOutput::Pipe || options.output == ChildOutput::PipeWithErrors;
    if (piped && n.isLinux) {
        const std::wstring file = (n.records / "output").wstring();
        childOut = ::CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                 CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        n.out = ::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    } else if (piped) {
        // A named pipe, because an anonymous one cannot be read with a
        // time-out.
        const std::wstring name = L"\\\\.\\pipe\\gl-test-child-" + tag;
        n.out = ::CreateNamedPipeW(name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                   PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 65536, 0, nullptr);
        childOut = ::CreateFileW(name.c_str(), GENERIC_WRITE, 0, &inherit, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        n.readDone = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    } else if (options.output == ChildOutput::File) {
        childOut = ::CreateFileW(options.outputFile.wstring().c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 &inherit, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    } else {
        childOut = inheritableCopy(::GetStdHandle(STD_OUTPUT_HANDLE));
    }
    if (childOut == INVALID_HANDLE_VALUE) childOut = nullptr;
    if (n.out == INVALID_HANDLE_VALUE) n.out = nullptr;
    if ((piped && (childOut == nullptr || n.out == nullptr)) || (options.output == ChildOutput::File && childOut == nullptr)) {
        closeChildEnds();
        return;
    }
    if (options.output == ChildOutput::PipeWithErrors || options.output == ChildOutput::File) {
        childErr = childOut;
    } else {
        childErr = inheritableCopy(::GetStdHandle(STD_ERROR_HANDLE));
    }

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childIn;
    startup.hStdOutput = childOut;
    startup.hStdError = childErr;
    std::wstring environment = environmentBlock(options.env);
    const std::wstring folder = options.workDir.empty() ? std::wstring() : std::filesystem::path(options.workDir).make_preferred().wstring();
    PROCESS_INFORMATION info{};
    const BOOL created = ::CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                                          environment.data(), folder.empty() ? nullptr : folder.c_str(), &startup, &info);
    closeChildEnds();
    if (!created) return;
    // Wine answers a Linux program's start with no handles at all.
    n.process = info.hProcess;
    n.pid = info.dwProcessId;
    closeHandle(info.hThread);
    n.started = true;
}

ChildProcess::~ChildProcess() {
    stop();
}

bool ChildProcess::started() const {
    return m_native->started;
}

int ChildProcess::pid() const {
    Native& n = *m_native;
    if (!n.started) return -1;
    if (!n.isLinux) return static_cast<int>(n.pid);
    int pid = -1;
    waitUntil([&] {
        std::ifstream in(n.records / "pid");
        return static_cast<bool>(in >> pid) || n.linuxEnded();
    });
    return pid;
}

bool ChildProcess::running() {
    return started() && !wait(std::chrono::milliseconds(0)).has_value();
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout) {
    Native& n = *m_native;
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const auto nl = n.buffer.find('\n');
        if (nl != std::string::npos) {
            std::string line = n.buffer.substr(0, nl);
            n.buffer.erase(0, nl + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return line;
        }
        if (n.readSome(n.buffer, deadline) != Native::Read::Data) return std::nullopt;
    }
}

bool ChildProcess::readAll(std::string& out, std::chrono::milliseconds timeout) {
    Native& n = *m_native;
    const auto deadline = Clock::now() + timeout;
    out += n.buffer;
    n.buffer.clear();
    for (;;) {
        switch (n.readSome(out, deadline)) {
            case Native::Read::Data:
                break;
            case Native::Read::Ended:
                return true;
            case Native::Read::TimedOut:
                return false;
        }
    }
}

bool ChildProcess::writeLine(const std::string& line) {
    Native& n = *m_native;
    if (n.in == nullptr) return false;
    const std::string text = line + "\n";
    DWORD written = 0;
    return ::WriteFile(n.in, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) && written == text.size();
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
    Native& n = *m_native;
    if (!n.started) return -1;
    if (n.exitCode) return n.exitCode;
    if (n.isLinux) {
        // No handle to wait on: the wrapper's status record is the end.
        if (!waitUntil([&] { return n.linuxEnded(); }, timeout)) return std::nullopt;
        int status = -1;
        std::ifstream(n.records / "status") >> status;
        // 128 + N: ended by signal N.
        n.exitCode = status >= 0 && status <= 128 ? status : -1;
        return n.exitCode;
    }
    const DWORD left = static_cast<DWORD>(std::min<long long>(timeout.count(), 0x7FFFFFFF));
    if (::WaitForSingleObject(n.process, left) != WAIT_OBJECT_0) return std::nullopt;
    DWORD code = 0;
    ::GetExitCodeProcess(n.process, &code);
    n.exitCode = static_cast<int>(code);
    closeHandle(n.stopEvent);
    return n.exitCode;
}

void ChildProcess::kill() {
    Native& n = *m_native;
    if (!n.started || n.exitCode) return;
    if (n.isLinux) {
        const int p = pid();
        if (p > 0) runLinux(L"Z:\\bin\\kill", {L"-KILL", std::to_wstring(p)});
        wait(std::chrono::seconds(10));
        return;
    }
    ::TerminateProcess(n.process, 1);
    if (wait(std::chrono::seconds(10))) n.exitCode = -1;
}

int ChildProcess::stop() {
    Native& n = *m_native;
    if (!n.started) return -1;
    if (!n.exitCode) {
        if (n.isLinux) {
            const int p = pid();
            if (p > 0) runLinux(L"Z:\\bin\\kill", {L"-TERM", std::to_wstring(p)});
        } else if (n.stopEvent == nullptr) {
            const std::wstring name = stoprequest::eventName(n.pid);
            n.stopEvent = ::CreateEventW(nullptr, TRUE, FALSE, name.c_str());
            if (n.stopEvent != nullptr) ::SetEvent(n.stopEvent);
        }
        if (!wait(std::chrono::seconds(10))) kill();
    }
    return n.exitCode.value_or(-1);
}

}  // namespace testsupport

#endif  // _WIN32
