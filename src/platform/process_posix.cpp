#include "platform/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>

#include "platform/path.h"
#include "platform/text.h"

extern char** environ;

namespace platform {

uint32_t currentProcessId() { return static_cast<uint32_t>(::getpid()); }

void keepRunningPastFileSizeLimit() {
    struct sigaction ignore{};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGXFSZ, &ignore, nullptr);
}

bool moduleFileName(std::wstring& out) {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf);
    if (n <= 0) return false;
    if (static_cast<std::size_t>(n) >= sizeof buf) {
        errno = ENAMETOOLONG;
        return false;
    }
    out = utf8ToWide(std::string_view(buf, static_cast<std::size_t>(n)));
    return true;
}

namespace {

// Between fork and exec only async-signal-safe calls: another thread of this
// process may have held the allocator's or any other lock at the fork.
[[noreturn]] void reportAndExit(int errorPipe, int error) {
    (void)!::write(errorPipe, &error, sizeof error);
    ::_exit(127);
}

[[noreturn]] void execLauncher(const char* path, char* const argv[], int devNull, int errorPipe) {
    // The launcher must not inherit the signal mask of whichever thread of
    // ours started it, nor signals we ignore (SIGPIPE): exec keeps both.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction dfl{};
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sig != SIGKILL && sig != SIGSTOP) ::sigaction(sig, &dfl, nullptr);
    }
    for (int target = 0; target <= 2; ++target) {
        if (::dup2(devNull, target) < 0) reportAndExit(errorPipe, errno);
    }
    // Nothing else of ours may live on in the launcher: a descriptor some
    // library opened without close-on-exec (a lock above all) would stay
    // held for as long as the launcher runs. The error pipe is close-on-exec
    // already, so it still reports a failed exec.
    ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    ::execve(path, argv, environ);
    reportAndExit(errorPipe, errno);
}

// A program that another user may write could have been changed since it
// was checked, and would then run as the player: it is not started. Only
// the player (or root, who can change anything anyway) may own it, and
// neither group nor others may write it. The player's own file has those
// bits cleared on the way, so that the next run's check judges its content
// and then starts it; another's is refused for as long as it stays so.
bool mayStart(const std::string& path, const struct stat& st) {
    const uid_t self = ::geteuid();
    if (st.st_uid != self && st.st_uid != 0) {
        errno = EPERM;
        return false;
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) == 0) return true;
    if (st.st_uid == self) ::chmod(path.c_str(), st.st_mode & 07755);
    errno = EACCES;
    return false;
}

}  // namespace

bool spawnDetached(const std::wstring& exe, const std::wstring& argument) {
    const std::string path = toSystemPath(exe);
    std::string arg = wideToUtf8(argument);
    if (path.empty()) {
        errno = ENOENT;
        return false;
    }
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) return false;
    if (S_ISREG(st.st_mode) && !mayStart(path, st)) return false;
    // A package packed without Unix modes leaves the program without its
    // execute bit; packages are made on systems that have none, so the
    // owner's is added.
    if (S_ISREG(st.st_mode) && (st.st_mode & S_IXUSR) == 0 &&
        ::chmod(path.c_str(), (st.st_mode & 07777) | S_IXUSR) != 0) {
        return false;
    }

    std::string arg0 = path;
    char* argv[] = {arg0.data(), arg.data(), nullptr};
    const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (devNull < 0) return false;
    // The child reports a failed exec through this pipe; a successful exec
    // closes it (close-on-exec) and the parent reads end-of-file.
    int errorPipe[2];
    if (::pipe2(errorPipe, O_CLOEXEC) != 0) {
        const int error = errno;
        ::close(devNull);
        errno = error;
        return false;
    }

    // Double fork: the intermediate child starts the session and ends at
    // once, so the launcher is adopted by init (or a subreaper) and never
    // becomes our zombie, and we need no thread to reap it.
    const pid_t middle = ::fork();
    if (middle == 0) {
        ::close(errorPipe[0]);
        if (::setsid() < 0) reportAndExit(errorPipe[1], errno);
        const pid_t launcher = ::fork();
        if (launcher < 0) reportAndExit(errorPipe[1], errno);
        if (launcher == 0) execLauncher(path.c_str(), argv, devNull, errorPipe[1]);
        ::_exit(0);
    }
    const int forkError = errno;
    ::close(errorPipe[1]);
    ::close(devNull);
    if (middle < 0) {
        ::close(errorPipe[0]);
        errno = forkError;
        return false;
    }
    int status = 0;
    while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
    }
    int childError = 0;
    ssize_t n;
    do {
        n = ::read(errorPipe[0], &childError, sizeof childError);
    } while (n < 0 && errno == EINTR);
    const int readError = n < 0 ? errno : EIO;
    ::close(errorPipe[0]);
    if (n == static_cast<ssize_t>(sizeof childError)) {
        errno = childError;
        return false;
    }
    if (n != 0) {
        errno = readError;
        return false;
    }
    return true;
}

}  // namespace platform
