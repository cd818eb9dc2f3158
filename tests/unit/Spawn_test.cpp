#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#include <sddl.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdio>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/error.h"
#include "platform/process.h"
#include "platform/text.h"
#include "support/TempHome.h"
#ifdef _WIN32
#include "support/SampleLauncher.h"
#include "support/WaitUntil.h"
#endif

namespace fs = std::filesystem;

// The recorder is a shell script, the checks read /proc and the file modes
// and owners are POSIX ones: Linux only. The Windows forms, with the sample
// launcher as the recorder and the file's access list, are below.
#ifndef _WIN32
namespace {

// A stand-in launcher: records its arguments, session, working folder and
// standard descriptors, then renames its record into place so that a reader
// never sees half of it.
std::string recorderScript(const fs::path& out) {
    const std::string o = out.string();
    return "#!/bin/sh\n"
           "fds=$(readlink /proc/$$/fd/0 /proc/$$/fd/1 /proc/$$/fd/2)\n"
           "if [ -e /proc/$$/fd/77 ]; then leaked=leaked; else leaked=none; fi\n"
           "exec 3> '" + o + ".tmp'\n"
           "printf '%s\\n' \"$#\" \"$1\" >&3\n"
           "cut -d' ' -f6 /proc/$$/stat >&3\n"
           "pwd >&3\n"
           "printf '%s\\n' \"$fds\" \"$leaked\" >&3\n"
           "exec 3>&-\n"
           "mv '" + o + ".tmp' '" + o + "'\n";
}

// Waits (bounded) for the child's record; the child's life is not ours to
// wait for otherwise, it is detached.
std::string awaitFile(const fs::path& path) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!fs::exists(path) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return testsupport::readFile(path);
}

// The processes whose parent is this one, zombies included.
std::vector<std::string> childrenOfThisProcess() {
    std::vector<std::string> found;
    const std::string self = std::to_string(::getpid());
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string stat = testsupport::readFile(entry.path() / "stat");
        const auto close = stat.rfind(')');
        if (close == std::string::npos) continue;
        // After "pid (comm)": state, then the parent's id.
        std::istringstream rest(stat.substr(close + 2));
        std::string state, parent;
        rest >> state >> parent;
        if (parent == self) found.push_back(entry.path().filename().string() + " " + state);
    }
    return found;
}

}  // namespace

TEST(SpawnDetached, OneArgumentNewSessionDevNullInheritedFolderNoZombie) {
    testsupport::TempHome home;
    const fs::path folder = home.root() / "game folder";
    fs::create_directories(folder);
    const fs::path exe = home.root() / "install dir" / "client" / "launcher.exe";
    fs::create_directories(exe.parent_path());
    const fs::path oldCwd = fs::current_path();
    fs::current_path(folder);
    // A descriptor opened without close-on-exec, as a careless library would.
    const int open = ::open("/dev/zero", O_RDONLY);
    ASSERT_EQ(::dup2(open, 77), 77);
    ::close(open);

    struct Case {
        const char* what;
        std::wstring argument;
    };
    const Case cases[] = {
        {"spaces and quotes", L"-gamepath=/opt/My Games/\"quoted\" 'single' \\back"},
        {"plain", L"-gamepath=/g"},
        {"empty", L""},
        {"non-ASCII", L"-gamepath=/spiele/\u00e4\u4e2d"},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path out = home.root() / ("record" + std::to_string(n++));
        testsupport::writeFile(exe, recorderScript(out));
        ::chmod(exe.c_str(), 0755);
        ASSERT_TRUE(platform::spawnDetached(exe.wstring(), c.argument)) << std::strerror(errno);
        // The intermediate child is reaped before the call returns and the
        // launcher belongs to init: nothing of ours can become a zombie.
        EXPECT_EQ(childrenOfThisProcess(), std::vector<std::string>{});

        std::istringstream record(awaitFile(out));
        std::string count, argument, session, cwd, in, outFd, err, leaked;
        std::getline(record, count);
        std::getline(record, argument);
        std::getline(record, session);
        std::getline(record, cwd);
        std::getline(record, in);
        std::getline(record, outFd);
        std::getline(record, err);
        std::getline(record, leaked);
        EXPECT_EQ(count, "1");
        EXPECT_EQ(argument, platform::wideToUtf8(c.argument));
        EXPECT_NE(session, std::to_string(::getsid(0)));
        EXPECT_FALSE(session.empty());
        EXPECT_EQ(cwd, folder.string());
        EXPECT_EQ(in, "/dev/null");
        EXPECT_EQ(outFd, "/dev/null");
        EXPECT_EQ(err, "/dev/null");
        EXPECT_EQ(leaked, "none");
    }
    ::close(77);
    fs::current_path(oldCwd);
}

TEST(SpawnDetached, AddsTheOwnersExecuteBitFirst) {
    testsupport::TempHome home;
    const fs::path exe = home.root() / "launcher.exe";
    const fs::path out = home.root() / "record";
    testsupport::writeFile(exe, recorderScript(out));
    ASSERT_EQ(::chmod(exe.c_str(), 0644), 0);
    ASSERT_TRUE(platform::spawnDetached(exe.wstring(), L"-gamepath=x")) << std::strerror(errno);
    EXPECT_EQ(fs::status(exe).permissions(), fs::perms(0744));
    std::istringstream record(awaitFile(out));
    std::string count, argument;
    std::getline(record, count);
    std::getline(record, argument);
    EXPECT_EQ(argument, "-gamepath=x");
}

TEST(SpawnDetached, ProgramsThatCannotStartAreReportedWithTheReason) {
    testsupport::TempHome home;
    const fs::path folder = home.root() / "a folder";
    fs::create_directories(folder);
    const fs::path garbage = home.root() / "garbage.exe";
    testsupport::writeFile(garbage, "just some data, not a program\n");
    ::chmod(garbage.c_str(), 0755);
    const fs::path noInterpreter = home.root() / "script.exe";
    testsupport::writeFile(noInterpreter, "#!/nonexistent/interpreter\n");
    ::chmod(noInterpreter.c_str(), 0755);

    struct Case {
        const char* what;
        fs::path exe;
        int error;
    };
    const Case cases[] = {
        {"missing", home.root() / "missing.exe", ENOENT},
        {"a folder", folder, EACCES},
        {"not a program", garbage, ENOEXEC},
        {"interpreter missing", noInterpreter, ENOENT},
        {"empty path", fs::path(), ENOENT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        errno = 0;
        EXPECT_FALSE(platform::spawnDetached(c.exe.wstring(), L"-gamepath=x"));
        EXPECT_EQ(errno, c.error) << std::strerror(errno);
        EXPECT_EQ(childrenOfThisProcess(), std::vector<std::string>{});
    }
}

// A program that another user may change is never started: it could have
// been changed after it was checked. The player's own has those write bits
// taken away on the way (the next start, after a check, may run it);
// another user's file is left as it is.
TEST(SpawnDetached, ProgramsOthersMayChangeAreNotStarted) {
    testsupport::TempHome home;
    struct Case {
        const char* what;
        mode_t mode;
        uid_t owner;  // 0 stands for this process's own user
        int error;
        mode_t after;
    };
    const Case cases[] = {
        {"writable by everybody", 0777, 0, EACCES, 0755},
        {"writable by the group", 0775, 0, EACCES, 0755},
        {"writable by others", 0757, 0, EACCES, 0755},
        {"another user's", 0755, 65534, EPERM, 0755},
        {"another user's, writable by everybody", 0777, 65534, EPERM, 0777},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path exe = home.root() / ("launcher" + std::to_string(n) + ".exe");
        const fs::path out = home.root() / ("record" + std::to_string(n++));
        testsupport::writeFile(exe, recorderScript(out));
        ASSERT_EQ(::chmod(exe.c_str(), c.mode), 0);
        if (c.owner != 0) {
            if (::geteuid() != 0) {
                std::printf("skipped: giving a file to another user needs root\n");
                continue;
            }
            ASSERT_EQ(::chown(exe.c_str(), c.owner, c.owner), 0);
            ASSERT_EQ(::chmod(exe.c_str(), c.mode), 0);
        }
        errno = 0;
        EXPECT_FALSE(platform::spawnDetached(exe.wstring(), L"-gamepath=x"));
        EXPECT_EQ(errno, c.error) << std::strerror(errno);
        EXPECT_EQ(fs::status(exe).permissions(), fs::perms(c.after));
        EXPECT_EQ(childrenOfThisProcess(), std::vector<std::string>{});
        EXPECT_FALSE(fs::exists(out)) << "it ran";
    }
    // The player's own file, once its bits were taken away, starts.
    const fs::path exe = home.root() / "launcher0.exe";
    ASSERT_TRUE(platform::spawnDetached(exe.wstring(), L"-gamepath=x")) << std::strerror(errno);
    EXPECT_FALSE(awaitFile(home.root() / "record0").empty());
}
#endif  // !_WIN32

#ifdef _WIN32
namespace {

// A copy of the sample launcher installed at <folder>/client/launcher.exe,
// which records its arguments (launcher.args) and its working folder
// (launcher.log) beside it.
fs::path installLauncher(const fs::path& folder) {
    const fs::path exe = folder / "client" / "launcher.exe";
    fs::create_directories(exe.parent_path());
    fs::copy_file(testsupport::sampleLauncherProgram(), exe, fs::copy_options::overwrite_existing);
    testsupport::writeFile(exe.parent_path() / "sample-launcher.conf", "--no-window --no-pipe\n");
    return exe;
}

// The working folder the launcher recorded, once it has.
std::string recordedFolder(const fs::path& client) {
    std::string folder;
    testsupport::waitUntil([&] {
        for (const std::string& line : testsupport::textLines(testsupport::readFile(client / "launcher.log"))) {
            if (line.rfind("folder: ", 0) == 0) folder = line.substr(8);
        }
        return !folder.empty();
    });
    return folder;
}

// Sets the file's access list; false when the list read back has no entry
// for `subject` (an SDDL account, or NO_ACCESS_CONTROL for a missing list):
// Wine keeps a file's list as its Linux mode bits, which carry only what
// everyone may do.
bool setAccessList(const fs::path& file, const wchar_t* sddl, const std::wstring& subject) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr)) return false;
    const BOOL set = ::SetFileSecurityW(file.wstring().c_str(), DACL_SECURITY_INFORMATION, descriptor);
    ::LocalFree(descriptor);
    if (!set) return false;
    DWORD size = 0;
    ::GetFileSecurityW(file.wstring().c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &size);
    std::vector<unsigned char> back(size);
    wchar_t* text = nullptr;
    if (size == 0 ||
        !::GetFileSecurityW(file.wstring().c_str(), DACL_SECURITY_INFORMATION, back.data(), size, &size) ||
        !::ConvertSecurityDescriptorToStringSecurityDescriptorW(back.data(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                                &text, nullptr)) {
        return false;
    }
    const std::wstring got(text);
    ::LocalFree(text);
    return subject == L"NO_ACCESS_CONTROL" ? got.find(subject) != std::wstring::npos
                                           : got.find(L";;;" + subject + L")") != std::wstring::npos;
}

}  // namespace

// The one argument arrives as one argument, exactly, whatever blanks,
// quotes and trailing backslashes it holds; the launcher runs in this
// process's working folder.
TEST(SpawnDetached, OneArgumentArrivesWholeAndTheWorkingFolderIsInherited) {
    testsupport::TempHome home;
    const fs::path folder = home.root() / "game folder";
    fs::create_directories(folder);
    const fs::path oldCwd = fs::current_path();
    fs::current_path(folder);
    struct Case {
        const char* what;
        std::wstring argument;
    };
    const Case cases[] = {
        {"a folder with spaces", L"-gamepath=C:\\Program Files\\My Game"},
        {"a trailing backslash", L"-gamepath=C:\\My Games\\"},
        {"quotes", L"-gamepath=C:\\a \"quoted\" \\\"b\\"},
        {"plain", L"-gamepath=C:\\g"},
        {"empty", L""},
        {"non-ASCII", L"-gamepath=C:\\Spiele\\\u00e4\u4e2d"},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path exe = installLauncher(home.root() / ("install dir " + std::to_string(n++)));
        const fs::path client = exe.parent_path();
        ASSERT_TRUE(platform::spawnDetached(exe.wstring(), c.argument)) << platform::lastError();
        ASSERT_TRUE(testsupport::waitLauncherStarts(client, 1));
        const auto starts = testsupport::launcherStarts(client);
        ASSERT_EQ(starts.size(), 1u);
        EXPECT_EQ(starts[0].args, std::vector<std::string>{platform::wideToUtf8(c.argument)});
        const std::string cwd = recordedFolder(client);
        EXPECT_TRUE(!cwd.empty() && fs::equivalent(fs::u8path(cwd), folder)) << cwd;
        EXPECT_EQ(testsupport::stopLaunchers(client), "");
    }
    fs::current_path(oldCwd);
}

TEST(SpawnDetached, ProgramsThatCannotStartAreReportedWithTheReason) {
    testsupport::TempHome home;
    const fs::path folder = home.root() / "a folder";
    fs::create_directories(folder);
    const fs::path garbage = home.root() / "garbage.exe";
    testsupport::writeFile(garbage, "just some data, not a program\n");
    struct Case {
        const char* what;
        std::wstring exe;
        DWORD error;
    };
    const Case cases[] = {
        {"missing", (home.root() / "missing.exe").wstring(), ERROR_FILE_NOT_FOUND},
        {"a folder", folder.wstring(), ERROR_ACCESS_DENIED},
        {"not a program", garbage.wstring(), ERROR_BAD_EXE_FORMAT},
        {"a device, not a file", L"NUL", ERROR_BAD_EXE_FORMAT},
        {"empty path", L"", ERROR_FILE_NOT_FOUND},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ::SetLastError(0);
        EXPECT_FALSE(platform::spawnDetached(c.exe, L"-gamepath=x"));
        EXPECT_EQ(platform::lastError(), c.error);
    }
}

// The install never makes a link: a link in the program's place was put
// there by someone else, and what it points to is never started.
TEST(SpawnDetached, ALinkInTheProgramsPlaceIsNotFollowed) {
    testsupport::TempHome home;
    const fs::path target = installLauncher(home.root() / "elsewhere");
    const fs::path client = home.root() / "install" / "client";
    fs::create_directories(client);
    const fs::path link = client / "launcher.exe";
    ASSERT_TRUE(::CreateSymbolicLinkW(link.wstring().c_str(), target.wstring().c_str(), 0)) << ::GetLastError();
    ::SetLastError(0);
    EXPECT_FALSE(platform::spawnDetached(link.wstring(), L"-gamepath=x"));
    EXPECT_NE(platform::lastError(), 0u);
    // Refused before any start: nothing can have run.
    EXPECT_FALSE(fs::exists(target.parent_path() / "launcher.args")) << "the link was followed";
}

// A program that others may change is never started: it could have been
// changed after it was checked. The access list is left as it is.
TEST(SpawnDetached, ProgramsOthersMayChangeAreNotStarted) {
    testsupport::TempHome home;
    struct Case {
        const char* what;
        const wchar_t* sddl;
        const wchar_t* subject;  // the entry the case is about
        bool starts;
    };
    const Case cases[] = {
        {"writable by everyone", L"D:(A;;FA;;;OW)(A;;FA;;;WD)", L"WD", false},
        {"writable by every signed-in user", L"D:(A;;FA;;;OW)(A;;FW;;;AU)", L"AU", false},
        {"writable by the users group", L"D:(A;;FA;;;OW)(A;;FW;;;BU)", L"BU", false},
        {"its access list may be changed by everyone", L"D:(A;;FA;;;OW)(A;;WD;;;WD)", L"WD", false},
        {"no access list at all", L"D:NO_ACCESS_CONTROL", L"NO_ACCESS_CONTROL", false},
        {"readable and runnable by everyone", L"D:(A;;FA;;;OW)(A;;FRFX;;;WD)", L"WD", true},
    };
    int n = 0;
    int tried = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path exe = installLauncher(home.root() / ("install" + std::to_string(n++)));
        if (!setAccessList(exe, c.sddl, c.subject)) {
            std::printf("skipped: %s: the file system keeps no such access list here (Wine keeps only what "
                        "everyone may do)\n", c.what);
            continue;
        }
        ++tried;
        ::SetLastError(0);
        EXPECT_EQ(platform::spawnDetached(exe.wstring(), L"-gamepath=x"), c.starts) << platform::lastError();
        if (c.starts) {
            EXPECT_TRUE(testsupport::waitLauncherStarts(exe.parent_path(), 1));
            EXPECT_EQ(testsupport::stopLaunchers(exe.parent_path()), "");
        } else {
            EXPECT_EQ(platform::lastError(), static_cast<uint32_t>(ERROR_ACCESS_DENIED));
            EXPECT_FALSE(fs::exists(exe.parent_path() / "launcher.args")) << "it ran";
            // One that ran anyway must not keep the marker from the next case.
            testsupport::stopLaunchers(exe.parent_path());
        }
    }
    EXPECT_GE(tried, 2) << "at least a refused and an allowed list must be tried";
}
#endif  // _WIN32
