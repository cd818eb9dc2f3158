// sample-launcher: a small real game launcher for the demo and the tests,
// installed as client/launcher.exe; the worked example of
// docs/launcher-integration.md, with every name and byte taken from
// gamelauncher/LauncherProtocol.h.
//
// While it runs it holds the launcher marker (a second copy exits at once)
// and serves the launcher pipe: every message it reads goes as one line into
// the messages file; the quit message makes it quit (releasing the marker),
// the come-forward message raises its window and keeps it running. SIGTERM
// and SIGINT end it too; on Windows, its stop event (common/StopRequest.h)
// and Ctrl+C.
//
// On Windows the marker is the named semaphore and the pipe the named pipe
// \\.\pipe\MV3_GAMELAUNCHER of the platform layer, served by the first
// instance only, to local clients only. It opens no window there yet: the
// marked window comes with the Windows window code.
//
// Records, appended, by default next to the program:
//   launcher.args      per start: "start pid=N argc=N", then "argv[i]=<text>"
//   launcher.messages  per message: "id=0x81 command=0 length=0 data=<hex>"
//   launcher.log       what it did: start (with its wall-clock time), its
//                      working folder, serving, each message, why it quit
//
// Options come from sample-launcher.conf next to the program, then the
// environment variable SAMPLE_LAUNCHER_OPTIONS, then the command line (later
// ones win), so that tests can steer a copy the bootstrapper starts with its
// one "-gamepath=" argument:
//   --messages FILE  --args FILE  --log FILE   where the records go
//   --ready FILE     written once the marker is held and the pipe served
//                    (with --no-pipe: once the marker is held)
//   --no-pipe        hold the marker but never serve the pipe
//   --no-window      open no window (by default one carrying the launcher's
//                    window mark opens when there is an X display)
//   --pipe-after MS  serve the pipe only after MS milliseconds
//   --ignore-quit    record the quit message but keep running
//   --exit-after MS  quit by itself after MS milliseconds
//   --no-read        accept the pipe's client but never read from it
//   --die-on-quit    on the quit message, record it and die at once by
//                    SIGKILL (TerminateProcess): the pipe's socket stays
//                    behind, only the kernel drops the marker
// Anything else on the command line is an argument, recorded as given.
//
// Exit codes: 0 quit as asked; 2 bad option; 3 another launcher runs;
// 4 the marker or the pipe could not be set up.
#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "gamelauncher/LauncherProtocol.h"
#include "platform/local_pipe.h"
#include "platform/marker.h"
#include "platform/process.h"
#include "platform/text.h"
#ifdef _WIN32
#include "common/StopRequest.h"
#include "platform/error.h"
#else
#include "platform/x11/marked_window.h"
#endif

namespace {

namespace proto = launcherprotocol;

struct Options {
    std::string messages, args, log, ready;
    bool noPipe = false;
    bool noWindow = false;
    bool ignoreQuit = false;
    bool noRead = false;
    bool dieOnQuit = false;
    long pipeAfterMs = 0;
    long exitAfterMs = -1;
    std::vector<std::string> arguments;
};

std::mutex g_serverLock;
platform::PipeServer* g_server = nullptr;  // guarded by g_serverLock
std::atomic<int> g_stopSignal{0};
std::atomic<bool> g_exiting{false};
std::thread g_stopWaiter;

void setServer(platform::PipeServer* server) {
    const std::lock_guard<std::mutex> lock(g_serverLock);
    g_server = server;
}

// Ends the server's waits and the stop waits: the launcher is to end.
void wakeServer() {
    const std::lock_guard<std::mutex> lock(g_serverLock);
    if (g_server != nullptr) g_server->wake();
}

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

#ifdef _WIN32

// Set once a stop is asked for; nothing resets it.
HANDLE g_stopped = nullptr;
HANDLE g_stopRequest = nullptr;
HANDLE g_exitingEvent = nullptr;

// SIGTERM's number stands for a stop request, SIGINT's for Ctrl+C, so that
// the log reads the same on both systems.
constexpr int kStopRequested = 15;
constexpr int kInterrupted = 2;

void stopWith(int sig) {
    int expected = 0;
    g_stopSignal.compare_exchange_strong(expected, sig);
    wakeServer();
    ::SetEvent(g_stopped);
}

BOOL WINAPI onConsoleControl(DWORD) {
    stopWith(kInterrupted);
    return TRUE;
}

std::string lastErrorText() {
    return "error " + std::to_string(platform::lastError());
}

std::wstring widePath(const std::string& path) {
    return platform::utf8ToWide(path);
}

// Appends one record with one write; an append-only handle makes each
// write land at the end, so that records of several starts never tear.
void appendLine(const std::string& path, const std::string& line) {
    HANDLE file = ::CreateFileW(widePath(path).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    const std::string text = line + "\n";
    DWORD written = 0;
    (void)::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    ::CloseHandle(file);
}

void writeFileAtomically(const std::string& path, const std::string& text) {
    const std::wstring temp = widePath(path + ".tmp");
    HANDLE file = ::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    (void)::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    ::CloseHandle(file);
    ::MoveFileExW(temp.c_str(), widePath(path).c_str(), MOVEFILE_REPLACE_EXISTING);
}

std::string readSmallFile(const std::string& path) {
    std::string text;
    HANDLE file = ::CreateFileW(widePath(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return text;
    char buf[4096];
    DWORD n = 0;
    while (::ReadFile(file, buf, sizeof buf, &n, nullptr) && n > 0 && text.size() < 65536) text.append(buf, n);
    ::CloseHandle(file);
    return text;
}

// The command line as the system hands it over, in UTF-8: argv of main is
// in the ANSI code page, which cannot carry every folder name.
std::vector<std::string> commandLineArguments(int, char**) {
    std::vector<std::string> out;
    int count = 0;
    wchar_t** args = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (args == nullptr) return out;
    for (int i = 1; i < count; ++i) out.push_back(platform::wideToUtf8(args[i]));
    ::LocalFree(args);
    return out;
}

bool startStopWaiter() {
    g_stopped = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_exitingEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_stopRequest = ::CreateEventW(nullptr, TRUE, FALSE, stoprequest::eventName(platform::currentProcessId()).c_str());
    if (g_stopped == nullptr || g_exitingEvent == nullptr || g_stopRequest == nullptr) return false;
    ::SetConsoleCtrlHandler(onConsoleControl, TRUE);
    g_stopWaiter = std::thread([] {
        HANDLE handles[2] = {g_exitingEvent, g_stopRequest};
        if (::WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) stopWith(kStopRequested);
    });
    return true;
}

void endStopWaiter() {
    g_exiting.store(true);
    ::SetEvent(g_exitingEvent);
    if (g_stopWaiter.joinable()) g_stopWaiter.join();
}

// Waits until `deadline` (negative: none) or a stop. True when stopped.
bool waitForStop(int64_t deadline) {
    DWORD timeout = INFINITE;
    if (deadline >= 0) {
        const int64_t left = deadline - nowMs();
        if (left <= 0) return false;
        timeout = static_cast<DWORD>(std::min<int64_t>(left, 1 << 30));
    }
    return ::WaitForSingleObject(g_stopped, timeout) == WAIT_OBJECT_0;
}

[[noreturn]] void dieAtOnce() {
    ::TerminateProcess(::GetCurrentProcess(), 9);
    for (;;) ::Sleep(INFINITE);
}

// The launcher's window with its window mark comes with the Windows window
// code; until then the come-forward message is only recorded.
void openLauncherWindow(const Options& o) {
    if (!o.noWindow) appendLine(o.log, "window: none (no window on this system yet)");
}

void bringLauncherWindowForward(const Options& o) {
    appendLine(o.log, "window: bring forward (no window)");
}

void closeLauncherWindow() {}

#else

int g_stopPipe[2] = {-1, -1};
sigset_t g_stopSignals;

std::string lastErrorText() {
    return std::strerror(errno);
}

// SIGTERM and SIGINT are blocked in every thread and taken here with
// sigwait: a handler interrupting whatever the main thread does is not
// needed, and a sanitizer runtime that defers asynchronous handlers was
// seen to lose one, leaving a launcher no test could end.
void waitForStopSignals(sigset_t signals) {
    for (;;) {
        int sig = 0;
        if (::sigwait(&signals, &sig) != 0) continue;
        if (g_exiting.load()) return;
        g_stopSignal.store(sig);
        wakeServer();
        const char byte = 1;
        (void)!::write(g_stopPipe[1], &byte, 1);
    }
}

// Blocked from the start (a stop before the marker is held stays pending
// until the waiter takes it) and in every thread made later.
void blockStopSignals() {
    sigemptyset(&g_stopSignals);
    sigaddset(&g_stopSignals, SIGTERM);
    sigaddset(&g_stopSignals, SIGINT);
    ::pthread_sigmask(SIG_BLOCK, &g_stopSignals, nullptr);
}

bool startStopWaiter() {
    if (::pipe2(g_stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    g_stopWaiter = std::thread(waitForStopSignals, g_stopSignals);
    return true;
}

// Ended rather than left behind: a process whose other threads still run
// is held up at exit by some runtimes (ThreadSanitizer sleeps).
void endStopWaiter() {
    g_exiting.store(true);
    ::pthread_kill(g_stopWaiter.native_handle(), SIGTERM);
    g_stopWaiter.join();
}

// Appends one record with one write, so that records of several starts and
// a reader never see a torn line.
void appendLine(const std::string& path, const std::string& line) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    const std::string text = line + "\n";
    (void)!::write(fd, text.data(), text.size());
    ::close(fd);
}

void writeFileAtomically(const std::string& path, const std::string& text) {
    const std::string temp = path + ".tmp";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    (void)!::write(fd, text.data(), text.size());
    ::close(fd);
    ::rename(temp.c_str(), path.c_str());
}

#endif  // _WIN32

bool parseMs(const std::string& text, long& out) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || v < 0) return false;
    out = v;
    return true;
}

bool applyOptions(const std::vector<std::string>& tokens, bool fromCommandLine, Options& o) {
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        const std::string& t = tokens[i];
        const bool hasValue = i + 1 < tokens.size();
        if (t == "--no-pipe") {
            o.noPipe = true;
        } else if (t == "--no-window") {
            o.noWindow = true;
        } else if (t == "--ignore-quit") {
            o.ignoreQuit = true;
        } else if (t == "--no-read") {
            o.noRead = true;
        } else if (t == "--die-on-quit") {
            o.dieOnQuit = true;
        } else if ((t == "--messages" || t == "--args" || t == "--log" || t == "--ready") && hasValue) {
            std::string& target = t == "--messages" ? o.messages : t == "--args" ? o.args : t == "--log" ? o.log : o.ready;
            target = tokens[++i];
        } else if ((t == "--pipe-after" || t == "--exit-after") && hasValue) {
            if (!parseMs(tokens[++i], t == "--pipe-after" ? o.pipeAfterMs : o.exitAfterMs)) return false;
        } else if (t.rfind("--", 0) == 0) {
            std::fprintf(stderr, "sample-launcher: unknown option %s\n", t.c_str());
            return false;
        } else if (fromCommandLine) {
            o.arguments.push_back(t);
        } else {
            return false;
        }
    }
    return true;
}

std::vector<std::string> splitWords(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream in(text);
    std::string w;
    while (in >> w) words.push_back(w);
    return words;
}

#ifndef _WIN32
std::string readSmallFile(const std::string& path) {
    std::string text;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return text;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0 && text.size() < 65536) text.append(buf, static_cast<std::size_t>(n));
    ::close(fd);
    return text;
}
#endif

std::string messageLine(uint8_t id, int32_t command, uint32_t length, const std::vector<unsigned char>& data) {
    char head[80];
    std::snprintf(head, sizeof head, "id=0x%02x command=%d length=%u data=", id, command, length);
    std::string line = head;
    static const char kHex[] = "0123456789abcdef";
    for (const unsigned char c : data) {
        line += kHex[c >> 4];
        line += kHex[c & 15];
    }
    return line;
}

#ifndef _WIN32
std::vector<std::string> commandLineArguments(int argc, char** argv) {
    return std::vector<std::string>(argv + 1, argv + argc);
}

[[noreturn]] void dieAtOnce() {
    ::kill(::getpid(), SIGKILL);
    for (;;) ::pause();
}

// Waits until `deadline` (negative: none) or a stop signal. True when
// stopped by a signal.
bool waitForStop(int64_t deadline) {
    for (;;) {
        int timeout = -1;
        if (deadline >= 0) {
            const int64_t left = deadline - nowMs();
            if (left <= 0) return false;
            timeout = static_cast<int>(std::min<int64_t>(left, 1 << 30));
        }
        pollfd p{g_stopPipe[0], POLLIN, 0};
        const int r = ::poll(&p, 1, timeout);
        if (r > 0) return true;
        if (r < 0 && errno != EINTR) return false;
    }
}

// The launcher's window carrying the launcher's window mark, as the
// bootstrapper looks for it: it opens when the launcher starts (when there
// is an X display and --no-window was not given) and the come-forward
// message brings it to the front.
platform::x11::MarkedWindow g_window;

void openLauncherWindow(const Options& o) {
    if (o.noWindow) return;
    platform::x11::MarkedWindow::Options w;
    w.title = "sample launcher";
    w.x = 40;
    w.y = 40;
    if (g_window.open(w)) {
        char id[32];
        std::snprintf(id, sizeof id, "0x%llx", static_cast<unsigned long long>(g_window.id()));
        appendLine(o.log, std::string("window: ") + id);
    } else {
        appendLine(o.log, "window: none (no X display)");
    }
}

void bringLauncherWindowForward(const Options& o) {
    appendLine(o.log, g_window.raise() ? "window: brought forward" : "window: bring forward (no window)");
}

void closeLauncherWindow() {
    g_window.close();
}
#endif  // !_WIN32

}  // namespace

int main(int argc, char** argv) {
    std::string folder = ".";
    std::wstring self;
    if (platform::moduleFileName(self)) {
        const std::string path = platform::wideToUtf8(self);
        folder = path.substr(0, path.find_last_of("/\\"));
        if (folder.empty()) folder = "/";
    }
    Options o;
    o.messages = folder + "/launcher.messages";
    o.args = folder + "/launcher.args";
    o.log = folder + "/launcher.log";
    const char* env = std::getenv("SAMPLE_LAUNCHER_OPTIONS");
    const std::vector<std::string> cmdline = commandLineArguments(argc, argv);
    if (!applyOptions(splitWords(readSmallFile(folder + "/sample-launcher.conf")), false, o) ||
        !applyOptions(splitWords(env != nullptr ? env : ""), false, o) || !applyOptions(cmdline, true, o)) {
        std::fprintf(stderr, "sample-launcher: bad options (see the top of tools/sample-launcher/main.cpp)\n");
        return 2;
    }

#ifndef _WIN32
    blockStopSignals();
#endif

    const int64_t started = nowMs();
    const int64_t deadline = o.exitAfterMs >= 0 ? started + o.exitAfterMs : -1;
    std::string record = "start pid=" + std::to_string(platform::currentProcessId()) + " argc=" + std::to_string(o.arguments.size());
    for (std::size_t i = 0; i < o.arguments.size(); ++i) {
        record += "\nargv[" + std::to_string(i + 1) + "]=" + o.arguments[i];
    }
    appendLine(o.args, record);
    // Wall-clock start time, so that benchmarks can time a bootstrapper run
    // up to the moment its launcher started.
    const auto wall = std::chrono::duration_cast<std::chrono::nanoseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
    char when[48];
    std::snprintf(when, sizeof when, " time=%lld.%09lld", static_cast<long long>(wall / 1000000000),
                  static_cast<long long>(wall % 1000000000));
    appendLine(o.log, "start pid=" + std::to_string(platform::currentProcessId()) + when);
    // The working folder it was started in, which the bootstrapper chooses.
    std::error_code noFolder;
    const std::u8string cwd = std::filesystem::current_path(noFolder).u8string();
    appendLine(o.log, "folder: " + std::string(cwd.begin(), cwd.end()));

    platform::Marker marker;
    switch (marker.acquire(proto::kLauncherMarker)) {
        case platform::Marker::Result::Acquired: break;
        case platform::Marker::Result::AlreadyHeld:
            appendLine(o.log, "another launcher runs: exit");
            return 3;
        case platform::Marker::Result::Failed:
            appendLine(o.log, "marker failed: " + lastErrorText());
            return 4;
    }

    platform::PipeServer server;
    // Before the stop signal is first looked at, so that a signal from then
    // on either is seen there or wakes the server.
    setServer(&server);
    if (!startStopWaiter()) return 4;
    openLauncherWindow(o);

    int exitCode = 0;
    std::string why = "exit-after time reached";
    if (o.noPipe && !o.ready.empty()) writeFileAtomically(o.ready, std::to_string(platform::currentProcessId()) + "\n");
    if (o.noPipe || o.pipeAfterMs > 0) {
        const int64_t until = o.noPipe ? deadline : started + o.pipeAfterMs;
        const int64_t limit = deadline >= 0 && (until < 0 || deadline < until) ? deadline : until;
        if (waitForStop(limit)) why = "signal " + std::to_string(g_stopSignal.load());
    }
    const bool serve = !o.noPipe && g_stopSignal.load() == 0 && (deadline < 0 || nowMs() < deadline);
    if (serve) {
        if (!server.listen(proto::kPipeName)) {
            appendLine(o.log, "cannot serve the pipe: " + lastErrorText());
            exitCode = 4;
        } else {
            appendLine(o.log, "serving pipe");
        }
    }
    if (serve && !o.ready.empty() && exitCode == 0) writeFileAtomically(o.ready, std::to_string(platform::currentProcessId()) + "\n");

    bool quit = !serve || exitCode != 0;
    auto left = [&]() -> int32_t {
        if (deadline < 0) return -1;
        const int64_t l = deadline - nowMs();
        return l > 0 ? static_cast<int32_t>(std::min<int64_t>(l, INT32_MAX)) : 0;
    };
    using R = platform::PipeServer::Result;
    while (!quit) {
        const R accepted = server.accept(left());
        if (accepted != R::Ok) {
            if (accepted == R::Woken) why = "signal " + std::to_string(g_stopSignal.load());
            if (accepted == R::Failed) {
                why = "accept failed: " + lastErrorText();
                exitCode = 4;
            }
            break;
        }
        appendLine(o.log, "client connected");
        if (o.noRead) {
            // Whatever the client writes stays unread in the socket.
            appendLine(o.log, "not reading");
            if (waitForStop(deadline)) why = "signal " + std::to_string(g_stopSignal.load());
            break;
        }
        for (;;) {
            proto::HeaderBytes bytes{};
            R r = server.read(bytes.data(), bytes.size(), left());
            if (r == R::Closed) {
                appendLine(o.log, "client closed");
                break;
            }
            std::vector<unsigned char> data;
            const proto::MessageHeader header = proto::decodeHeader(bytes);
            if (r == R::Ok) {
                // The bootstrapper never sends more; a longer length means
                // the stream is out of step, and nothing after it can be
                // trusted.
                if (header.length > proto::kMaxData) {
                    appendLine(o.log, "message longer than 8192 bytes: client dropped");
                    break;
                }
                data.resize(header.length);
                if (header.length > 0) r = server.read(data.data(), header.length, left());
            }
            if (r != R::Ok) {
                if (r == R::Closed) {
                    appendLine(o.log, "client closed inside a message");
                    break;
                }
                if (r == R::Woken) why = "signal " + std::to_string(g_stopSignal.load());
                quit = true;
                break;
            }
            const std::string line = messageLine(header.id, header.command, header.length, data);
            appendLine(o.messages, line);
            appendLine(o.log, "message " + line);
            if (header.id == proto::kMsgQuit && o.dieOnQuit) {
                appendLine(o.log, "dying on 0x81");
                dieAtOnce();
            }
            if (header.id == proto::kMsgQuit && !o.ignoreQuit) {
                why = "quit on 0x81";
                quit = true;
                break;
            }
            if (header.id == proto::kMsgComeForward) bringLauncherWindowForward(o);
        }
    }
    // The pipe and the window go before the marker: whoever sees the marker
    // free finds neither of ours.
    server.close();
    setServer(nullptr);
    closeLauncherWindow();
    marker.release();
    appendLine(o.log, "quit: " + why);
    endStopWaiter();
    return exitCode;
}
