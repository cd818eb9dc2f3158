// Another local user against the per-user runtime folder (markers and the
// launcher's pipe): one who creates /tmp/gamelauncher-<uid> (or a link
// there) first, or who shares XDG_RUNTIME_DIR and serves a launcher of
// their own in it, must not stop an update from 1.0.0.0 to 2.0.0.0 nor get
// its messages: the run installs 2.0.0.0 and starts it, without a warning.
// A home folder whose runtime path is longer than a socket address works
// too, and where no safe folder can be had at all the update still goes on.
// Needs root for the folders handed to another user (as in CI).
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "gamelauncher/LauncherProtocol.h"
#include "hostile/HostileGame.h"
#include "support/SampleLauncher.h"
#include "support/TempHome.h"
#include "support/WaitUntil.h"

namespace hostile {
namespace {

namespace fs = std::filesystem;
using testsupport::readFile;

constexpr uid_t kOtherUser = 65534;

const std::vector<std::string> kUpdatedAndStarted{
    "[upgradeManager:334]Luncher not Running ",
    "[upgradeManager:386]launcherURL:", "[upgradeManager:208]_ThreadCheckVersion END with start launcher.exe OK"};

enum class Hostile {
    TmpFolderOfAnotherUser,   // /tmp/gamelauncher-<uid>: their folder
    TmpFolderIsALink,         // /tmp/gamelauncher-<uid>: a link to their folder
    LongHome,                 // /tmp taken as above, and a home whose runtime path is long
    SharedRuntimeDir,         // XDG_RUNTIME_DIR of mode 1777, their launcher in it
    RuntimeDirOfAnotherUser,  // XDG_RUNTIME_DIR owned by them, their launcher in it
    NoSafeFolderAtAll,        // /tmp taken, and the fallback in the data folder a link
};

struct Case {
    const char* name;
    Hostile hostile;
    bool needsRoot;
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

// Another user's launcher as the integration document describes one: its
// marker held and its pipe served in `folder`. Written with plain system
// calls, since the program's own layer would not use that folder.
class ForeignLauncher {
public:
    explicit ForeignLauncher(const fs::path& folder) {
        const fs::path lock = folder / (std::string(launcherprotocol::kLauncherMarker) + ".lock");
        m_lock = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        struct flock whole {};
        whole.l_type = F_WRLCK;
        whole.l_whence = SEEK_SET;
        m_locked = m_lock >= 0 && ::fcntl(m_lock, F_OFD_SETLK, &whole) == 0;
        m_listen = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::string path = (folder / launcherprotocol::kPipeName).string();
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        m_serving = m_listen >= 0 && ::bind(m_listen, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                    ::chmod(path.c_str(), 0666) == 0 && ::listen(m_listen, 8) == 0;
    }
    ~ForeignLauncher() {
        if (m_listen >= 0) ::close(m_listen);
        if (m_lock >= 0) ::close(m_lock);
    }
    ForeignLauncher(const ForeignLauncher&) = delete;
    ForeignLauncher& operator=(const ForeignLauncher&) = delete;
    bool ready() const { return m_locked && m_serving; }
    // Whether anyone connected to its pipe (it never accepted, so a
    // connection still waits in the backlog).
    bool reached() const {
        const int client = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) return false;
        ::close(client);
        return true;
    }

private:
    int m_lock = -1;
    int m_listen = -1;
    bool m_locked = false;
    bool m_serving = false;
};

class RuntimeFolder : public HostileGame, public ::testing::WithParamInterface<Case> {
protected:
    void TearDown() override {
        HostileGame::TearDown();
        std::error_code ec;
        fs::remove_all(tmpFolder(), ec);
    }

    static fs::path tmpFolder() { return "/tmp/gamelauncher-" + std::to_string(::getuid()); }

    // A folder of the other user's, private to them.
    fs::path othersFolder(const std::string& name) {
        const fs::path dir = home.root() / name;
        fs::create_directory(dir);
        EXPECT_EQ(::chmod(dir.c_str(), 0700), 0);
        if (::getuid() == 0) {
            EXPECT_EQ(::chown(dir.c_str(), kOtherUser, kOtherUser), 0);
        }
        return dir;
    }

    // Takes /tmp/gamelauncher-<uid> as the other user would: their folder,
    // or a link to one. Another case may take it at the same time: either
    // way it is taken, which is all a case needs.
    void takeTmpFolder(bool asLink) {
        const fs::path target = othersFolder("others-folder");
        for (int attempt = 0; attempt < 50; ++attempt) {
            std::error_code ec;
            fs::remove_all(tmpFolder(), ec);
            if (asLink) {
                if (::symlink(target.c_str(), tmpFolder().c_str()) == 0) return;
            } else if (::mkdir(tmpFolder().c_str(), 0700) == 0) {
                ASSERT_EQ(::chown(tmpFolder().c_str(), kOtherUser, kOtherUser), 0);
                return;
            }
            ASSERT_EQ(errno, EEXIST);
        }
        FAIL() << "could not take " << tmpFolder();
    }
};

TEST_P(RuntimeFolder, AnotherUserCannotStopTheUpdate) {
    const Case& c = GetParam();
    if (c.needsRoot && ::getuid() != 0) GTEST_SKIP() << "needs root to hand a folder to another user";
    ASSERT_FALSE(publish("2.0.0.0", "client.zip").empty());
    writeLauncherIni({service()->base()});

    std::unique_ptr<ForeignLauncher> foreign;
    switch (c.hostile) {
        case Hostile::TmpFolderOfAnotherUser:
        case Hostile::TmpFolderIsALink:
            ::unsetenv("XDG_RUNTIME_DIR");
            takeTmpFolder(c.hostile == Hostile::TmpFolderIsALink);
            break;
        case Hostile::NoSafeFolderAtAll:
            // No marker can be held anywhere: nothing can be running, so
            // the update goes on (the launcher then finds no marker to take).
            ::unsetenv("XDG_RUNTIME_DIR");
            takeTmpFolder(true);
            fs::create_directory_symlink(othersFolder("others-folder"), home.data() / "gamelauncher-runtime");
            break;
        case Hostile::LongHome: {
            ::unsetenv("XDG_RUNTIME_DIR");
            takeTmpFolder(true);
            // The same data folder, reached through a home whose runtime
            // path is longer than a socket address holds.
            const fs::path longHome = home.root() / std::string(70, 'h');
            fs::create_directories(longHome / ".local");
            fs::create_directory_symlink(home.data(), longHome / ".local/share");
            ::setenv("HOME", longHome.c_str(), 1);
            ::unsetenv("XDG_DATA_HOME");
            ASSERT_GT((longHome / ".local/share/gamelauncher-runtime" / launcherprotocol::kPipeName).string().size(),
                      sizeof(sockaddr_un{}.sun_path));
            break;
        }
        case Hostile::SharedRuntimeDir:
        case Hostile::RuntimeDirOfAnotherUser: {
            fs::path shared;
            if (c.hostile == Hostile::SharedRuntimeDir) {
                shared = home.root() / "shared-runtime";
                fs::create_directory(shared);
                ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
            } else {
                shared = othersFolder("others-runtime");
            }
            ::setenv("XDG_RUNTIME_DIR", shared.c_str(), 1);
            foreign = std::make_unique<ForeignLauncher>(shared);
            ASSERT_TRUE(foreign->ready());
            break;
        }
    }
    // What the case set up is not the program's doing.
    resnapshot();

    const auto result = run(60);
    if (c.hostile == Hostile::NoSafeFolderAtAll) {
        // The started launcher cannot take its marker and ends (code 4):
        // the common check would wait for it to hold the marker.
        EXPECT_EQ(result.exitCode, 0) << result.output;
        EXPECT_EQ(boxesShown(result), std::vector<std::string>{});
        const std::string text = log();
        std::size_t at = 0;
        for (const std::string& part : kUpdatedAndStarted) {
            at = text.find(part, at);
            ASSERT_NE(at, std::string::npos) << "not logged: " << part << "\n" << text;
        }
        EXPECT_EQ(installedVersion(), "2.0.0.0");
        EXPECT_EQ(damagedFiles(), std::vector<std::string>{});
        ASSERT_TRUE(testsupport::waitLauncherStarts(clientFolder(), 1));
        EXPECT_EQ(testsupport::launcherStarts(clientFolder())[0].args,
                  std::vector<std::string>{"-gamepath=" + game.string()});
        expectNothingChangedOutside();
        return;
    }
    expectOutcome(result, Expected().installs("2.0.0.0").logs(kUpdatedAndStarted).shows({}));
    if (foreign) {
        EXPECT_FALSE(foreign->reached()) << "the other user's launcher got the program's messages";
    }

    if (c.hostile == Hostile::LongHome) {
        // The started launcher serves its pipe there: a second run hands
        // over to it (0x80) through that long path.
        ASSERT_TRUE(testsupport::waitLauncherMarker(true));
        ASSERT_TRUE(testsupport::waitUntil(
            [&] { return readFile(clientFolder() / "launcher.log").find("serving pipe") != std::string::npos; }));
        const auto handOver = run(60);
        expectOutcome(handOver, Expected()
                                    .installs("2.0.0.0")
                                    .starts(0)
                                    .logs({"[upgradeManager:727]pipe send message Success id:128 command:0"})
                                    .shows({}));
        EXPECT_TRUE(testsupport::waitUntil([&] {
            const auto messages = testsupport::launcherMessages(clientFolder());
            return !messages.empty() && messages.back() == "id=0x80 command=0 length=0 data=";
        }));
    }
}

INSTANTIATE_TEST_SUITE_P(, RuntimeFolder,
                         ::testing::Values(Case{"TmpFolderOfAnotherUser", Hostile::TmpFolderOfAnotherUser, true},
                                           Case{"TmpFolderIsALink", Hostile::TmpFolderIsALink, false},
                                           Case{"LongHome", Hostile::LongHome, false},
                                           Case{"SharedRuntimeDir", Hostile::SharedRuntimeDir, false},
                                           Case{"RuntimeDirOfAnotherUser", Hostile::RuntimeDirOfAnotherUser, true},
                                           Case{"NoSafeFolderAtAll", Hostile::NoSafeFolderAtAll, false}),
                         [](const ::testing::TestParamInfo<Case>& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace hostile
