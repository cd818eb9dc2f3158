#include "platform/local_pipe.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "gamelauncher/LauncherProtocol.h"
#include "support/TempHome.h"

namespace fs = std::filesystem;
using platform::PipeClient;
using platform::PipeServer;

namespace {

constexpr const char* kName = launcherprotocol::kPipeName;

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

}  // namespace

TEST(LocalPipe, MessagesArriveByteExactInOrder) {
    testsupport::TempHome home;
    PipeServer server;
    ASSERT_TRUE(server.listen(kName));
    struct stat st{};
    ASSERT_EQ(::lstat((home.runtime() / kName).c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);

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
    EXPECT_FALSE(fs::exists(home.runtime() / kName));
}

TEST(LocalPipe, NobodyServingIsNoInstanceAfterTheWait) {
    testsupport::TempHome home;
    struct Case {
        const char* what;
        bool staleFile;
    };
    for (const Case& c : {Case{"no socket file", false}, Case{"stale socket file", true}}) {
        SCOPED_TRACE(c.what);
        if (c.staleFile) makeStaleSocket(home.runtime() / kName);
        PipeClient client;
        EXPECT_EQ(client.open(kName, 0), PipeClient::OpenResult::NoInstance);
        EXPECT_EQ(client.open(kName, 60), PipeClient::OpenResult::NoInstance);
        EXPECT_FALSE(client.isOpen());
        EXPECT_FALSE(client.write("x", 1));
    }
}

TEST(LocalPipe, UnusableNamesFailRatherThanWait) {
    testsupport::TempHome home;
    const std::string tooLong(200, 'p');
    for (const char* name : {"", "a/b", tooLong.c_str()}) {
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
    // With the default disposition a SIGPIPE would end this test process.
    ::signal(SIGPIPE, SIG_DFL);
    PipeServer server;
    ASSERT_TRUE(server.listen(kName));
    PipeClient client;
    ASSERT_EQ(client.open(kName, 300), PipeClient::OpenResult::Opened);
    ASSERT_EQ(server.accept(5000), PipeServer::Result::Ok);
    server.disconnect();
    errno = 0;
    EXPECT_FALSE(client.write("\x80\0\0\0\0\0\0\0\0", 9));
    EXPECT_EQ(errno, EPIPE);
    // The whole server going away is the same for the client.
    ASSERT_EQ(client.open(kName, 300), PipeClient::OpenResult::Opened);
    server.close();
    EXPECT_FALSE(client.write("\x80\0\0\0\0\0\0\0\0", 9));
}

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
