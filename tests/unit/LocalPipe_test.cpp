#include "platform/local_pipe.h"

#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#include <array>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "gamelauncher/LauncherProtocol.h"
#include "platform/error.h"
#include "support/TempHome.h"

namespace fs = std::filesystem;
using platform::PipeClient;
using platform::PipeServer;

namespace {

const char* const kName = launcherprotocol::kPipeName;

#ifndef _WIN32
// Leaves a socket file nobody serves, as a server that died would.
void makeStaleSocket(const fs::path& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(fd, 1), 0);
    ::close(fd);
    ASSERT_TRUE(fs::is_socket(path));
}
#endif

}  // namespace

TEST(LocalPipe, MessagesArriveByteExactInOrder) {
    testsupport::TempHome home;
    PipeServer server;
    ASSERT_TRUE(server.listen(kName));
#ifndef _WIN32
    // The socket file and its mode are Linux's; a named pipe has neither.
    struct stat st{};
    ASSERT_EQ(::lstat((home.runtime() / kName).c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
#endif

    PipeClient client;
    ASSERT_EQ(client.open(kName, 300), PipeClient::OpenResult::Opened);
    EXPECT_TRUE(client.isOpen());
    const std::array<unsigned char, 9> handOff = launcherprotocol::encodeHeader({launcherprotocol::kMsgComeForward, 0, 0});
    std::string large(9 + 8192, '\0');
    for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 7);
    ASSERT_TRUE(client.write(handOff.data(), handOff.size()));
    ASSERT_TRUE(client.write(large.data(), large.size()));

    ASSERT_EQ(server.accept(5000), PipeServer::Result::Ok);
    std::array<unsigned char, 9> got{};
    ASSERT_EQ(server.read(got.data(), got.size(), 5000), PipeServer::Result::Ok);
    EXPECT_EQ(got, handOff);
    std::string gotLarge(large.size(), 'x');
    ASSERT_EQ(server.read(gotLarge.data(), gotLarge.size(), 5000), PipeServer::Result::Ok);
    EXPECT_EQ(gotLarge, large);
    // Nothing more was sent.
    EXPECT_EQ(server.read(got.data(), 1, 0), PipeServer::Result::TimedOut);

    // The client closing mid-message loses the message; the server sees it.
    ASSERT_TRUE(client.write(handOff.data(), 4));
    client.close();
    EXPECT_FALSE(client.isOpen());
    EXPECT_EQ(server.read(got.data(), got.size(), 5000), PipeServer::Result::Closed);

    server.close();
#ifndef _WIN32
    EXPECT_FALSE(fs::exists(home.runtime() / kName));
#endif
    EXPECT_EQ(client.open(kName, 0), PipeClient::OpenResult::NoInstance);
}

TEST(LocalPipe, NobodyServingIsNoInstanceAfterTheWait) {
    testsupport::TempHome home;
    struct Case {
        const char* what;
        bool staleFile;
    };
#ifdef _WIN32
    // A stale socket file is Linux's alone: a named pipe goes with its server.
    for (const Case& c : {Case{"no pipe", false}}) {
        SCOPED_TRACE(c.what);
#else
    for (const Case& c : {Case{"no socket file", false}, Case{"stale socket file", true}}) {
        SCOPED_TRACE(c.what);
        if (c.staleFile) makeStaleSocket(home.runtime() / kName);
#endif
        PipeClient client;
        EXPECT_EQ(client.open(kName, 0), PipeClient::OpenResult::NoInstance);
        EXPECT_EQ(client.open(kName, 60), PipeClient::OpenResult::NoInstance);
        EXPECT_FALSE(client.isOpen());
        EXPECT_FALSE(client.write("x", 1));
    }
}

TEST(LocalPipe, UnusableNamesFailRatherThanWait) {
    testsupport::TempHome home;
#ifdef _WIN32
    // A pipe's name holds 256 characters with its "\\.\pipe\" and is one
    // level below it.
    const std::string tooLong(300, 'p');
    for (const char* name : {"", "a/b", "a\\b", tooLong.c_str()}) {
#else
    const std::string tooLong(200, 'p');
    for (const char* name : {"", "a/b", tooLong.c_str()}) {
#endif
        SCOPED_TRACE(name);
        PipeClient client;
        EXPECT_EQ(client.open(name, 10000), PipeClient::OpenResult::Failed);
        PipeServer server;
        EXPECT_FALSE(server.listen(name));
    }
}

TEST(LocalPipe, AServerThatAppearsDuringTheWaitIsFound) {
    testsupport::TempHome home;
    PipeClient client;
    PipeClient::OpenResult result = PipeClient::OpenResult::Failed;
    std::thread opener([&] { result = client.open(kName, 10000); });
    // Let the client find nothing first, so that its retries are what finds the server.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    PipeServer server;
    ASSERT_TRUE(server.listen(kName));
    opener.join();
    ASSERT_EQ(result, PipeClient::OpenResult::Opened);
    ASSERT_TRUE(client.write("\x81\0\0\0\0\0\0\0\0", 9));
    ASSERT_EQ(server.accept(5000), PipeServer::Result::Ok);
    char got[9] = {};
    ASSERT_EQ(server.read(got, sizeof got, 5000), PipeServer::Result::Ok);
    EXPECT_EQ(std::string(got, 9), std::string("\x81\0\0\0\0\0\0\0\0", 9));
}

TEST(LocalPipe, WritingToAClosedPeerFailsWithoutSigpipe) {
    testsupport::TempHome home;
#ifndef _WIN32
    // With the default disposition a SIGPIPE would end this test process.
    ::signal(SIGPIPE, SIG_DFL);
#endif
    PipeServer server;
    ASSERT_TRUE(server.listen(kName));
    PipeClient client;
    ASSERT_EQ(client.open(kName, 300), PipeClient::OpenResult::Opened);
    ASSERT_EQ(server.accept(5000), PipeServer::Result::Ok);
    server.disconnect();
    errno = 0;
    EXPECT_FALSE(client.write("\x80\0\0\0\0\0\0\0\0", 9));
#ifdef _WIN32
    // "Being closed" on Windows; Wine answers "not connected".
    EXPECT_TRUE(platform::lastError() == ERROR_NO_DATA || platform::lastError() == ERROR_PIPE_NOT_CONNECTED)
        << platform::lastError();
#else
    EXPECT_EQ(errno, EPIPE);
#endif
    // The whole server going away is the same for the client. (A named pipe
    // takes the next client only once the server accepts again.)
    std::thread acceptor([&] { EXPECT_EQ(server.accept(10000), PipeServer::Result::Ok); });
    EXPECT_EQ(client.open(kName, 10000), PipeClient::OpenResult::Opened);
    acceptor.join();
    server.close();
    EXPECT_FALSE(client.write("\x80\0\0\0\0\0\0\0\0", 9));
}

#ifndef _WIN32
// Socket files that stay behind, and their removal, are Linux's alone; the
// Windows forms of a second server are below.
TEST(LocalPipe, StaleSocketIsReplacedButALiveServerIsNot) {
    testsupport::TempHome home;
    const fs::path path = home.runtime() / kName;
    makeStaleSocket(path);
    PipeServer first;
    ASSERT_TRUE(first.listen(kName));
    PipeClient client;
    ASSERT_EQ(client.open(kName, 300), PipeClient::OpenResult::Opened);

    PipeServer second;
    errno = 0;
    EXPECT_FALSE(second.listen(kName));
    EXPECT_EQ(errno, EADDRINUSE);
    EXPECT_TRUE(fs::is_socket(path));

    // A file that is not a socket is never removed.
    first.close();
    fs::remove(path);
    testsupport::writeFile(path, "keep");
    EXPECT_FALSE(second.listen(kName));
    EXPECT_EQ(testsupport::readFile(path), "keep");
}

TEST(LocalPipe, CloseLeavesAReplacementServersFileAlone) {
    testsupport::TempHome home;
    const fs::path path = home.runtime() / kName;
    PipeServer old;
    ASSERT_TRUE(old.listen(kName));
    // Someone removed the file and a new server took the name.
    fs::remove(path);
    PipeServer replacement;
    ASSERT_TRUE(replacement.listen(kName));
    old.close();
    EXPECT_TRUE(fs::is_socket(path));
    PipeClient client;
    EXPECT_EQ(client.open(kName, 300), PipeClient::OpenResult::Opened);
}
#endif

TEST(LocalPipe, WaitsEndOnTimeOutAndOnWake) {
    testsupport::TempHome home;
    PipeServer server;
    ASSERT_TRUE(server.listen(kName));
    EXPECT_EQ(server.accept(20), PipeServer::Result::TimedOut);
    char byte = 0;
    EXPECT_EQ(server.read(&byte, 1, 20), PipeServer::Result::Failed);  // no client

    PipeServer::Result result = PipeServer::Result::Ok;
    std::thread waiter([&] { result = server.accept(-1); });
    server.wake();
    waiter.join();
    EXPECT_EQ(result, PipeServer::Result::Woken);

    // Wake is lasting: reads with a client end at once too.
    PipeClient client;
    ASSERT_EQ(client.open(kName, 300), PipeClient::OpenResult::Opened);
    EXPECT_EQ(server.accept(-1), PipeServer::Result::Woken);
}

#ifndef _WIN32
// A socket address holds 107 bytes; a runtime folder below a long home
// holds more. Serving, connecting, replacing a stale socket and removing
// the socket file work there all the same.
TEST(LocalPipe, ARuntimeFolderLongerThanASocketAddressWorks) {
    struct Case {
        const char* what;
        bool viaXdgRuntimeDir;
    };
    for (const Case& c : {Case{"long XDG_RUNTIME_DIR", true}, Case{"long HOME, no XDG folders", false}}) {
        SCOPED_TRACE(c.what);
        testsupport::TempHome home;
        const fs::path longHome = home.root() / std::string(100, 'h') / std::string(100, 'o');
        fs::create_directories(longHome);
        fs::path folder;
        if (c.viaXdgRuntimeDir) {
            folder = longHome / "run";
            fs::create_directory(folder);
            ::chmod(folder.c_str(), 0700);
            ::setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
        } else {
            ::setenv("HOME", longHome.c_str(), 1);
            ::unsetenv("XDG_RUNTIME_DIR");
            ::unsetenv("XDG_DATA_HOME");
            folder = longHome / ".local/share/gamelauncher-runtime";
        }
        const fs::path path = folder / kName;
        ASSERT_GT(path.string().size(), sizeof(sockaddr_un{}.sun_path));

        // A stale socket left there (bound at a short path, then moved in).
        PipeServer probe;
        ASSERT_TRUE(probe.listen(kName));  // makes the folder
        probe.close();
        makeStaleSocket(home.root() / "stale");
        fs::rename(home.root() / "stale", path);

        PipeServer server;
        ASSERT_TRUE(server.listen(kName));
        struct stat st{};
        ASSERT_EQ(::lstat(path.c_str(), &st), 0);
        EXPECT_TRUE(S_ISSOCK(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        PipeClient client;
        ASSERT_EQ(client.open(kName, 300), PipeClient::OpenResult::Opened);
        ASSERT_TRUE(client.write("\x80\0\0\0\0\0\0\0\0", 9));
        ASSERT_EQ(server.accept(5000), PipeServer::Result::Ok);
        char got[9] = {};
        ASSERT_EQ(server.read(got, sizeof got, 5000), PipeServer::Result::Ok);
        EXPECT_EQ(std::string(got, 9), std::string("\x80\0\0\0\0\0\0\0\0", 9));
        // A second server does not take the name from a live one.
        PipeServer second;
        EXPECT_FALSE(second.listen(kName));
        server.close();
        EXPECT_FALSE(fs::exists(path));
        EXPECT_EQ(client.open(kName, 0), PipeClient::OpenResult::NoInstance);
    }
}
#endif

#ifdef _WIN32
namespace {

const wchar_t* const kPipePath = L"\\\\.\\pipe\\MV3_GAMELAUNCHER";

// A server of the name made by someone else, with as many instances as he
// likes.
HANDLE squatPipe(DWORD instances) {
    return ::CreateNamedPipeW(kPipePath, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, instances, 4096, 4096, 0,
                              nullptr);
}

}  // namespace

// Only the first instance of the name serves: a launcher never adds an
// instance to a pipe another program made (which would then take the
// bootstrapper's messages in turn), nor to its own running copy's.
TEST(LocalPipe, AServerThatIsNotTheFirstInstanceFails) {
    testsupport::TempHome home;
    PipeServer first;
    ASSERT_TRUE(first.listen(kName));
    PipeServer second;
    EXPECT_FALSE(second.listen(kName));
    first.close();
    EXPECT_TRUE(second.listen(kName));
    second.close();

    HANDLE squatter = squatPipe(PIPE_UNLIMITED_INSTANCES);
    ASSERT_NE(squatter, INVALID_HANDLE_VALUE);
    PipeServer after;
    EXPECT_FALSE(after.listen(kName));
    ::CloseHandle(squatter);
    EXPECT_TRUE(after.listen(kName));
}

// The one instance serves another client: a client waits the 300 ms for it,
// then gives up; once it is free again, it connects.
TEST(LocalPipe, ABusyInstanceIsNoInstanceAfterTheWait) {
    testsupport::TempHome home;
    PipeServer server;
    ASSERT_TRUE(server.listen(kName));
    PipeClient first;
    ASSERT_EQ(first.open(kName, 300), PipeClient::OpenResult::Opened);
    ASSERT_EQ(server.accept(5000), PipeServer::Result::Ok);
    PipeClient second;
    EXPECT_EQ(second.open(kName, 300), PipeClient::OpenResult::NoInstance);
    EXPECT_FALSE(second.isOpen());
    first.close();
    std::thread opener([&] { EXPECT_EQ(second.open(kName, 10000), PipeClient::OpenResult::Opened); });
    EXPECT_EQ(server.accept(10000), PipeServer::Result::Ok);
    opener.join();
    ASSERT_TRUE(second.write("\x80\0\0\0\0\0\0\0\0", 9));
    char got[9] = {};
    EXPECT_EQ(server.read(got, sizeof got, 5000), PipeServer::Result::Ok);
}

// Whoever serves the name (pipe names are the whole machine's) may learn
// who connected but never act as this user: the client allows
// identification only.
TEST(LocalPipe, TheClientAllowsIdentificationOnly) {
    testsupport::TempHome home;
    if (::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr) {
        GTEST_SKIP() << "Wine gives a pipe's server full impersonation whatever level the client allows";
    }
    HANDLE server = squatPipe(1);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    std::thread connector([&] { ::ConnectNamedPipe(server, nullptr); });
    PipeClient client;
    ASSERT_EQ(client.open(kName, 5000), PipeClient::OpenResult::Opened);
    connector.join();
    // Impersonation needs a message from the client first.
    ASSERT_TRUE(client.write("\x80\0\0\0\0\0\0\0\0", 9));
    char got[9] = {};
    DWORD n = 0;
    ASSERT_TRUE(::ReadFile(server, got, sizeof got, &n, nullptr));
    ASSERT_TRUE(::ImpersonateNamedPipeClient(server)) << ::GetLastError();
    HANDLE token = nullptr;
    const BOOL opened = ::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token);
    ::RevertToSelf();
    ASSERT_TRUE(opened) << ::GetLastError();
    SECURITY_IMPERSONATION_LEVEL level = SecurityDelegation;
    DWORD size = 0;
    EXPECT_TRUE(::GetTokenInformation(token, TokenImpersonationLevel, &level, sizeof level, &size));
    EXPECT_EQ(level, SecurityIdentification);
    ::CloseHandle(token);
    ::CloseHandle(server);
}

// Rejecting remote clients (PIPE_REJECT_REMOTE_CLIENTS) is not tested: the
// test bed has no second machine to connect from.
#endif
