#include "support/Xvfb.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

namespace testsupport {

namespace {

bool onPath(const char* program) {
    const char* path = std::getenv("PATH");
    std::string all = path != nullptr ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= all.size()) {
        const std::size_t end = all.find(':', start);
        const std::string dir = all.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!dir.empty() && ::access((dir + "/" + program).c_str(), X_OK) == 0) return true;
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return false;
}

}  // namespace

bool displayRequired() {
    const char* need = std::getenv("GL_REQUIRE_DISPLAY");
    const char* ci = std::getenv("CI");
    return (need != nullptr && need[0] != '\0' && need[0] != '0') || (ci != nullptr && ci[0] != '\0');
}

Xvfb::Xvfb(const std::string& screen) {
    if (!onPath("Xvfb")) {
        m_whyNot = "Xvfb is not installed (scripts/setup installs it)";
        return;
    }
    // Xvfb writes the display number it chose to this pipe once it accepts
    // connections: that is the moment to wait for, with nothing guessed.
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) {
        m_whyNot = "pipe failed";
        return;
    }
    const std::string fd = std::to_string(ready[1]);
    m_pid = ::fork();
    if (m_pid == 0) {
        ::fcntl(ready[1], F_SETFD, 0);
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, STDIN_FILENO);
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        std::vector<std::string> args{"Xvfb", "-displayfd", fd, "-screen", "0", screen, "-nolisten", "tcp", "-noreset"};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execvp("Xvfb", argv.data());
        ::_exit(127);
    }
    ::close(ready[1]);
    if (m_pid < 0) {
        ::close(ready[0]);
        m_whyNot = "fork failed";
        return;
    }
    std::string number;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) break;
        pollfd p{ready[0], POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(left));
        if (r < 0) continue;
        if (r == 0) break;
        char c;
        if (::read(ready[0], &c, 1) != 1 || c == '\n') break;
        number.push_back(c);
    }
    ::close(ready[0]);
    if (number.empty()) {
        m_whyNot = "Xvfb did not start (no display number within 30 s)";
        return;
    }
    m_display = ":" + number;
    if (const char* old = std::getenv("DISPLAY")) m_savedDisplay = old;
    ::setenv("DISPLAY", m_display.c_str(), 1);
}

Xvfb::~Xvfb() {
    if (!ok()) {
    } else if (m_savedDisplay) {
        ::setenv("DISPLAY", m_savedDisplay->c_str(), 1);
    } else {
        ::unsetenv("DISPLAY");
    }
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
    }
}

}  // namespace testsupport
